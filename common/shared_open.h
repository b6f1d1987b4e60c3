// SharedOpen: opening a file that other server programs share, with a share
// mode taken from the mode letters and retries while another holder's share
// mode refuses us.
#pragma once

#include <cstdio>

// Opens `path` (a server path; backslashes become slashes) with `mode`:
//   "r" read only, others may read and write; "r+" read and write, no
//   sharing; "w"/"w+" create or empty, no sharing; "a"/"a+" append (created
//   when missing), others may read only; "c"/"c+" create a new file only,
//   no sharing; 't' or 'b' may follow.
// A refusal by another holder is retried, with a short sleep between
// attempts, until `timeout_seconds` have passed since the first attempt; any
// other failure returns nullptr at once (errno tells why).  A negative
// time-out takes the default time-out.  Called with a null path, it sets the
// default time-out (initially 5 seconds) and returns nullptr.
FILE* SharedOpen(int timeout_seconds, const char* path, const char* mode);
