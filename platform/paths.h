// Paths of the server area.  The server's own texts (INI values, mailslot
// names, file names built by the programs) use backslash paths such as
// "K-DB\SETUP.INI"; this layer turns them into Linux paths.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Backslashes become slashes and a leading drive letter ("E:") is dropped, so
// "E:\FAX\SYSTEM\" becomes "/FAX/SYSTEM/" and "K-DB\SETUP.INI" stays relative
// (to the working directory, the server area).  Case is kept.
std::string ToLinuxPath(std::string_view server_path);

// Where KORVANE.INI lies: $KORVANE_INI_PATH, else /var/lib/korvane/KORVANE.INI.
std::string ServerIniPath();
inline constexpr const char* kDefaultServerIniPath = "/var/lib/korvane/KORVANE.INI";

// Folder holding the mailslot sockets: $KORVANE_MAILSLOT_DIR, else
// /var/lib/korvane/mailslot.
std::string MailslotDirectory();
inline constexpr const char* kDefaultMailslotDirectory = "/var/lib/korvane/mailslot";

// The server programs' --help lines on the two variables above (and on the
// server area they lie in), from the "Environment:" heading on.
inline constexpr const char* kEnvironmentHelp =
    "Environment:\n"
    "  KORVANE_INI_PATH      the settings file KORVANE.INI\n"
    "                        (default /var/lib/korvane/KORVANE.INI)\n"
    "  KORVANE_MAILSLOT_DIR  the folder of the mailslots\n"
    "                        (default /var/lib/korvane/mailslot)\n"
    "  KORVANE_HOME          not read by the program: tools/run.sh takes it as the\n"
    "                        server area (default ./run) and sets the two above\n"
    "                        inside it\n";

// Where the client settings file KVCLIENT.INI lies: $KORVANE_CLIENT_INI_PATH,
// empty when not set.
std::string ClientIniPath();

// The current user's application-data folder: $XDG_CONFIG_HOME, else
// $HOME/.config; empty when neither is known.
std::string ApplicationDataFolder();

// Copies a file (replacing the target).  True on success.
[[nodiscard]] bool CopyFileTo(const std::string& source, const std::string& target);

// True when `path` names an existing file (not a folder).
bool FileExists(const std::string& path);

// The absolute path of `path` with ".", ".." and symbolic links resolved.
// A last component that does not exist is appended to its resolved folder.
// Empty when the folder cannot be resolved.
std::string ResolvedPath(const std::string& path);

// True when `path`, once resolved, lies inside the folder `root` (also
// resolved), or is that folder.
bool PathInside(const std::string& path, const std::string& root);

// What a file is, looked at without waiting for it: an open of a FIFO or a
// device is never blocked on.
enum class FileKind { kRegular, kMissing, kNotRegular, kUnreadable };
FileKind RegularFileForReading(const std::string& path);

// Creates `path` and its missing parents with the given permissions
// (applied with chmod, so the umask does not narrow them).  True when the
// folder exists afterwards.
[[nodiscard]] bool MakeFolders(const std::string& path, unsigned mode);

// The host name of this machine (the computer name), empty when unknown.
std::string ComputerName();

// The system's default language as a Windows language id: from LC_ALL,
// LC_MESSAGES or LANG ("es" 0x40A, "de" 0x407, "fr" 0x40C, "it" 0x410,
// anything else 0x409).
unsigned short SystemLanguageId();

}  // namespace platform
