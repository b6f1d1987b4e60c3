# Build helpers shared by every folder.  Sources are picked up by glob so that
# adding a module never needs an edit here.

set(KV_ALL_LIBS kv_host kv_session kv_session_app kv_session_foip kv_session_trace kv_session_config kv_sip kv_sip_ent kv_sip_ssc kv_sip_prim kv_sip_text kv_t38 kv_fax kv_controller kv_runtime kv_common kv_platform)
set(KV_MAIN_FILES ${CMAKE_SOURCE_DIR}/host/tessaly_main.cpp ${CMAKE_SOURCE_DIR}/controller/marrock_main.cpp)

function(kv_library name folder)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp ${CMAKE_SOURCE_DIR}/${folder}/*.c)
  list(REMOVE_ITEM srcs ${KV_MAIN_FILES})
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARGN} Threads::Threads)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARGN} Threads::Threads)
  endif()
endfunction()

function(kv_program name main_file lib)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${main_file})
    add_executable(${name} ${CMAKE_SOURCE_DIR}/${main_file})
    target_link_libraries(${name} PRIVATE ${lib})
  endif()
endfunction()

# Test-only peers: libtiff and spandsp are linked into tests, benchmarks and
# fuzzers when present, never into the programs; sofia-sip is a reference
# for the SIP parser's benchmark only.
function(kv_find_test_peers)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND AND NOT TARGET kv_test_peers)
    pkg_check_modules(KV_TIFF QUIET IMPORTED_TARGET libtiff-4)
    pkg_check_modules(KV_SPANDSP QUIET IMPORTED_TARGET spandsp)
    pkg_check_modules(KV_SOFIA QUIET IMPORTED_TARGET sofia-sip-ua)
    if(KV_REQUIRE_PEERS AND NOT (KV_TIFF_FOUND AND KV_SPANDSP_FOUND))
      message(FATAL_ERROR "KV_REQUIRE_PEERS: libtiff-4 and spandsp are needed for the interoperability tests "
                          "(bash tools/deps.sh test installs them)")
    endif()
    add_library(kv_test_peers INTERFACE)
    if(KV_TIFF_FOUND)
      target_link_libraries(kv_test_peers INTERFACE PkgConfig::KV_TIFF)
      target_compile_definitions(kv_test_peers INTERFACE KV_HAVE_LIBTIFF=1)
    endif()
    if(KV_SPANDSP_FOUND)
      target_link_libraries(kv_test_peers INTERFACE PkgConfig::KV_SPANDSP)
      target_compile_definitions(kv_test_peers INTERFACE KV_HAVE_SPANDSP=1)
    endif()
    add_library(kv_bench_peers INTERFACE)
    if(KV_SOFIA_FOUND)
      target_link_libraries(kv_bench_peers INTERFACE PkgConfig::KV_SOFIA)
      target_compile_definitions(kv_bench_peers INTERFACE KV_HAVE_SOFIA=1)
    endif()
  elseif(NOT TARGET kv_test_peers)
    if(KV_REQUIRE_PEERS)
      message(FATAL_ERROR "KV_REQUIRE_PEERS: pkg-config is needed to find the test peers")
    endif()
    add_library(kv_test_peers INTERFACE)
    add_library(kv_bench_peers INTERFACE)
  endif()
endfunction()

# A test tool on the test-only peer libraries (tools/<name>.cpp), left out
# when they are missing.
function(kv_peer_program name main_file)
  kv_find_test_peers()
  if(TARGET PkgConfig::KV_TIFF AND TARGET PkgConfig::KV_SPANDSP)
    add_executable(${name} ${CMAKE_SOURCE_DIR}/${main_file})
    target_link_libraries(${name} PRIVATE kv_test_peers)
  endif()
endfunction()

# Layering of the tests: tests/<folder>/<name>_test.cpp links only its own
# folder's library (tests/sip/text/ -> kv_sip_text) and what that library
# links, so that a test reaching into a higher folder fails to link.  The
# helpers in tests/<folder>/support/ form one library per folder, linked with
# that folder's library; a test gets the helper libraries of its own folder and
# of the folders below it.
#
# The tests of sip/ itself run the whole SIP stack (both entities, kv_sip).
#
# Helpers that cross folders, and the libraries a test including one needs
# beyond its own folder's, with why:
#   fax/support/fm_t38_loop.h: runs the fax modem over the T.38 loop of the
#     T.38 helpers (fax_acu_t38_test, fax_cf_map_test, fax_fm_loopback_test,
#     fax_fm_spandsp_test, fax_fm_t38_exchange_test).
#   common/support/temp_folder.h: the temporary folder helper, also used by
#     platform tests (platform_paths_test, platform_shared_file_test).
#   session/config/support/cfg_test_support.h: the temporary configuration
#     area, also used by the trace tests (session_trace_foip_trc_audit_test,
#     session_trace_foip_trc_files_test), whose library holds no configuration.
set(KV_CROSSING_HELPERS fax/support/fm_t38_loop.h common/support/temp_folder.h session/config/support/cfg_test_support.h)
set(KV_HELPER_NEEDS_fax/support/fm_t38_loop.h kv_t38 kv_test_support_t38)
set(KV_HELPER_NEEDS_common/support/temp_folder.h kv_test_support_common)
set(KV_HELPER_NEEDS_session/config/support/cfg_test_support.h kv_test_support_session_config)

# The project libraries `lib` links, directly or through others.
function(kv_lib_closure lib out)
  set(result)
  set(todo ${lib})
  while(todo)
    list(POP_FRONT todo l)
    get_target_property(deps ${l} INTERFACE_LINK_LIBRARIES)
    foreach(d ${deps})
      if(d MATCHES "^kv_" AND NOT d IN_LIST result)
        list(APPEND result ${d})
        list(APPEND todo ${d})
      endif()
    endforeach()
  endwhile()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

function(kv_tests)
  find_package(GTest REQUIRED)
  kv_find_test_peers()
  file(GLOB_RECURSE tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*_test.cpp)
  file(GLOB support_dirs LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/*/support ${CMAKE_SOURCE_DIR}/tests/*/*/support)
  set(support_targets)
  foreach(dir ${support_dirs})
    file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
    if(NOT srcs)
      continue()
    endif()
    get_filename_component(folder ${dir} DIRECTORY)
    file(RELATIVE_PATH key ${CMAKE_SOURCE_DIR}/tests ${folder})
    string(REPLACE "/" "_" key ${key})
    set(lib kv_${key})
    add_library(kv_test_support_${key} STATIC ${srcs})
    target_include_directories(kv_test_support_${key} PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
    target_compile_definitions(kv_test_support_${key} PRIVATE KV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    target_link_libraries(kv_test_support_${key} PUBLIC ${lib} GTest::gtest kv_test_peers)
    target_compile_options(kv_test_support_${key} PRIVATE ${KV_TEST_COMPILE_OPTIONS})
    list(APPEND support_targets kv_test_support_${key})
    set(support_lib_of_kv_test_support_${key} ${lib})
  endforeach()
  # A helper library links the helper libraries of the folders below its own.
  foreach(s ${support_targets})
    kv_lib_closure(${support_lib_of_${s}} below)
    foreach(o ${support_targets})
      if(support_lib_of_${o} IN_LIST below)
        target_link_libraries(${s} PUBLIC ${o})
      endif()
    endforeach()
  endforeach()
  foreach(t ${tests})
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR}/tests ${t})
    get_filename_component(folder ${rel} DIRECTORY)
    string(REGEX REPLACE "\\.cpp$" "" rel ${rel})
    string(REPLACE "/" "_" tname ${rel})
    string(REPLACE "/" "_" key ${folder})
    if(NOT TARGET kv_${key})
      message(FATAL_ERROR "tests/${folder}: no library kv_${key} for its tests to link")
    endif()
    kv_lib_closure(kv_${key} below)
    set(libs kv_${key} ${KV_FOLDER_NEEDS_${key}})
    foreach(s ${support_targets})
      if(support_lib_of_${s} STREQUAL kv_${key} OR support_lib_of_${s} IN_LIST below)
        list(APPEND libs ${s})
      endif()
    endforeach()
    # The includes decide the crossing helpers: the test is read again when it changes.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${t})
    file(STRINGS ${t} includes REGEX "^#include \"[a-z0-9_/]+\\.h\"")
    foreach(h ${KV_CROSSING_HELPERS})
      if(includes MATCHES "#include \"${h}\"")
        list(APPEND libs ${KV_HELPER_NEEDS_${h}})
      endif()
    endforeach()
    add_executable(${tname} ${t})
    target_include_directories(${tname} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
    target_link_libraries(${tname} PRIVATE ${libs} GTest::gtest GTest::gtest_main GTest::gmock
                                           kv_test_peers)
    target_compile_definitions(${tname} PRIVATE KV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    target_compile_options(${tname} PRIVATE ${KV_TEST_COMPILE_OPTIONS})
    add_test(NAME ${tname} COMMAND ${tname})
    set_tests_properties(${tname} PROPERTIES TIMEOUT 300)
    # Faxes in real time against outside peers: they wait on the clock far
    # more than they compute (a few per cent of a core each), so they start
    # first and run beside the tests that compute, instead of at the end of
    # the run one after another.
    if(tname MATCHES "^host_(t38_milestone_|sip_fax_road_|system_receive_test|demo_test|balancer_test)")
      set_tests_properties(${tname} PROPERTIES COST 1000)
    endif()
  endforeach()
  # One lifetime of the whole system (tools/soak.sh at a reduced scale): the
  # longest test, started before every other one, with its own bound.  Its
  # requests go at 100 a second beside its faxes, so that it keeps less than
  # a core busy on average and takes one job slot like the others.
  if(TARGET host_lifetime_test)
    set_tests_properties(host_lifetime_test PROPERTIES TIMEOUT 1800 COST 100000)
    add_dependencies(host_lifetime_test tessaly marrock drennic-standin)
    if(TARGET t38-fax-peer)
      add_dependencies(host_lifetime_test t38-fax-peer)
    endif()
  endif()
  # On a machine of two cores or fewer, the tests that start the whole system
  # (tessaly, its controllers and their stand-ins) do not run beside each
  # other: side by side they starve each other's real-time faxes there.
  if(KV_WHOLE_SYSTEM_ALONE)
    foreach(t host_lifetime_test host_demo_test host_balancer_test)
      if(TEST ${t})
        set_tests_properties(${t} PROPERTIES RESOURCE_LOCK whole_system)
      endif()
    endforeach()
  endif()
  # The balancer recipe (tools/kamailio) is tried with Kamailio, a test-only
  # peer program.
  if(TARGET host_balancer_test)
    find_program(KV_KAMAILIO_PROGRAM kamailio PATHS /usr/sbin /usr/local/sbin)
    if(KV_KAMAILIO_PROGRAM)
      target_compile_definitions(host_balancer_test PRIVATE KV_KAMAILIO="${KV_KAMAILIO_PROGRAM}")
    elseif(KV_REQUIRE_PEERS)
      message(FATAL_ERROR "KV_REQUIRE_PEERS: kamailio is needed for the balancer test "
                          "(bash tools/deps.sh test installs it)")
    endif()
  endif()
endfunction()

# bench/<name>.cpp becomes one Google Benchmark program each.
function(kv_benchmarks)
  find_package(benchmark REQUIRED)
  kv_find_test_peers()
  file(GLOB benches CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
  foreach(b ${benches})
    get_filename_component(n ${b} NAME_WE)
    add_executable(bench_${n} ${b})
    # The test helpers' sources may be built into a benchmark (it links no
    # helper library).
    target_include_directories(bench_${n} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    target_link_libraries(bench_${n} PRIVATE ${KV_ALL_LIBS} benchmark::benchmark kv_test_peers kv_bench_peers)
    target_compile_definitions(bench_${n} PRIVATE KV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    target_compile_options(bench_${n} PRIVATE ${KV_TEST_COMPILE_OPTIONS})
  endforeach()
endfunction()

# The tests replay every fuzz target's seed corpus: fuzz/<name>.cpp linked with
# a small main of our own (fuzz/replay/replay_main.cpp) instead of libFuzzer
# becomes fuzz_replay_<name>, built with the other tests under the same
# sanitizers, and test fuzz_replay_<name> hands it fuzz/corpus/<name>/.  Real
# fuzzing runs use the clang libFuzzer build (kv_fuzzers, tools/fuzz.sh).
function(kv_fuzz_replays)
  kv_find_test_peers()
  file(GLOB fuzzers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/*.cpp)
  if(NOT fuzzers)
    return()
  endif()
  add_library(kv_fuzz_replay_main STATIC ${CMAKE_SOURCE_DIR}/fuzz/replay/replay_main.cpp)
  foreach(f ${fuzzers})
    get_filename_component(n ${f} NAME_WE)
    add_executable(fuzz_replay_${n} ${f})
    target_link_libraries(fuzz_replay_${n} PRIVATE kv_fuzz_replay_main ${KV_ALL_LIBS} kv_test_peers)
    target_include_directories(fuzz_replay_${n} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    # A target without a corpus folder yet is run on generated inputs.
    set(corpus)
    if(IS_DIRECTORY ${CMAKE_SOURCE_DIR}/fuzz/corpus/${n})
      set(corpus ${CMAKE_SOURCE_DIR}/fuzz/corpus/${n})
    endif()
    add_test(NAME fuzz_replay_${n} COMMAND fuzz_replay_${n} ${corpus})
    set_tests_properties(fuzz_replay_${n} PROPERTIES TIMEOUT 300 LABELS fuzz)
  endforeach()
endfunction()

# fuzz/<name>.cpp becomes one libFuzzer target each (fuzz_<name>); its seed
# corpus lives in fuzz/corpus/<name>/.
function(kv_fuzzers)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KV_FUZZ needs clang (configure with -DCMAKE_CXX_COMPILER=clang++)")
  endif()
  kv_find_test_peers()
  file(GLOB fuzzers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/*.cpp)
  foreach(f ${fuzzers})
    get_filename_component(n ${f} NAME_WE)
    add_executable(fuzz_${n} ${f})
    target_compile_options(fuzz_${n} PRIVATE -fsanitize=fuzzer)
    target_link_options(fuzz_${n} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(fuzz_${n} PRIVATE ${KV_ALL_LIBS} kv_test_peers)
    # Header-only test stand-ins (runtime, SIP stack, FOIP layers) serve the
    # targets that run several entities together.
    target_include_directories(fuzz_${n} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  endforeach()
endfunction()
