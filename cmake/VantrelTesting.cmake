# Test registration. Native builds run tests directly (label "native", plus "asan" or
# "tsan" under a sanitizer). The x86_64 Windows build runs them under Wine (label
# "wine") through scripts/wine-run.sh, which keeps one Wine prefix per build directory.
# The i686 build, the shipped one, runs a lean set of them (those registered with
# WINE32: what only 32 bits can break) under 32-bit Wine in an emulated i386 userland
# (label "wine32", scripts/wine32-run.sh): each such test is one session of the runner,
# and the sessions take turns on the build directory's 32-bit prefix.

set(VANTREL_XVFB_RUN "${CMAKE_SOURCE_DIR}/scripts/xvfb-run.sh")

if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VANTREL_RUN_TESTS ON)
  set(VANTREL_TEST_LABEL wine)
  set(VANTREL_WINE_RUN "${CMAKE_SOURCE_DIR}/scripts/wine-run.sh")
elseif(WIN32)
  set(VANTREL_RUN_TESTS OFF)
  set(VANTREL_WINE32 ON)
  set(VANTREL_TEST_LABEL wine32)
  set(VANTREL_WINE_RUN "${CMAKE_SOURCE_DIR}/scripts/wine32-run.sh")
  # the i386 root that scripts/setup.sh prepares beside the cross-built libraries
  get_filename_component(_deps_cache "${VANTREL_DEPS_PREFIX}" DIRECTORY)
  set(VANTREL_I386_ROOT "${_deps_cache}/i386/root" CACHE PATH "i386 userland with 32-bit Wine")
else()
  set(VANTREL_RUN_TESTS ON)
  set(VANTREL_TEST_LABEL native)
  if(VANTREL_SANITIZE STREQUAL "address")
    list(APPEND VANTREL_TEST_LABEL asan)
  elseif(VANTREL_SANITIZE STREQUAL "thread")
    list(APPEND VANTREL_TEST_LABEL tsan)
  endif()
endif()

# vantrel_add_test(NAME n COMMAND exe args... [LABELS l...] [TIMEOUT s] [GUI] [HOST] [WINE32]
#                  [SIM [SIM_PROFILE current|legacy] [SIM_ARGS ...]] [ENVIRONMENT k=v...])
# COMMAND's first word may be a target name; on Windows it is run under Wine.
# SIM_PROFILE chooses how the simulated XenAPI server answers (default legacy).
# WINE32: the test runs in the i686 build too (under 32-bit Wine); there, no other does.
# Test drivers find the Wine runner of their build in VANTREL_WINE_RUN, and VANTREL_WINE32
# is 1 under 32-bit Wine.
function(vantrel_add_test)
  cmake_parse_arguments(T "GUI;HOST;SIM;WINE32" "NAME;TIMEOUT;WORKING_DIRECTORY;SIM_PROFILE" "COMMAND;LABELS;ENVIRONMENT;SIM_ARGS" ${ARGN})
  if(NOT VANTREL_RUN_TESTS AND NOT (VANTREL_WINE32 AND T_WINE32))
    return()
  endif()
  list(POP_FRONT T_COMMAND _exe)
  if(TARGET ${_exe})
    set(_exe $<TARGET_FILE:${_exe}>)
  endif()
  set(_cmd ${_exe} ${T_COMMAND})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  if(WIN32 AND NOT T_HOST)
    set(_cmd ${VANTREL_WINE_RUN} ${CMAKE_BINARY_DIR} ${_cmd})
  endif()
  if(T_SIM)
    # Runs the command beside a simulated Xen host of its own (free ports, test PKI in
    # the build directory); SIM_ARGS are extra xensim.py options (a ;-list). The test
    # fails when the command leaves XenAPI sessions live (SIM_ARGS --allow-live-sessions
    # for one that must).
    if(NOT T_SIM_PROFILE)
      set(T_SIM_PROFILE legacy)
    elseif(NOT T_SIM_PROFILE MATCHES "^(current|legacy)$")
      message(FATAL_ERROR "${T_NAME}: SIM_PROFILE must be current or legacy, not ${T_SIM_PROFILE}")
    endif()
    set(_cmd python3 ${CMAKE_SOURCE_DIR}/sim/xensim.py --certs ${CMAKE_BINARY_DIR}/sim-certs --lifetime ${T_TIMEOUT}
             --profile ${T_SIM_PROFILE} ${T_SIM_ARGS} -- ${_cmd})
    list(APPEND T_LABELS sim)
  endif()
  if(T_GUI)
    set(_cmd ${VANTREL_XVFB_RUN} ${_cmd})
    list(APPEND T_LABELS gui)
  endif()
  set(_env VANTREL_SOURCE_DIR=${CMAKE_SOURCE_DIR} VANTREL_BINARY_DIR=${CMAKE_BINARY_DIR})
  if(WIN32)
    list(APPEND _env VANTREL_WINE_RUN=${VANTREL_WINE_RUN})
  endif()
  if(VANTREL_WINE32)
    # The whole test, simulated host and driver included, is one session of the runner.
    set(_cmd ${VANTREL_WINE_RUN} --session ${CMAKE_BINARY_DIR} ${_cmd})
    list(APPEND _env VANTREL_WINE32=1 VANTREL_I386_ROOT=${VANTREL_I386_ROOT})
  endif()
  if(NOT T_WORKING_DIRECTORY)
    set(T_WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  add_test(NAME ${T_NAME} COMMAND ${_cmd} WORKING_DIRECTORY ${T_WORKING_DIRECTORY})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${VANTREL_TEST_LABEL};${T_LABELS}" TIMEOUT ${T_TIMEOUT}
                       ENVIRONMENT "${_env};${T_ENVIRONMENT}")
  if(VANTREL_WINE32)
    # one wine server per prefix: the sessions take turns
    set_property(TEST ${T_NAME} APPEND PROPERTY RESOURCE_LOCK wine32-prefix)
  endif()
endfunction()

# vantrel_add_gtest(name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [ARGS ...]
#                   [SIM [SIM_PROFILE current|legacy] [SIM_ARGS ...]])
# One GoogleTest executable, registered as one test.
function(vantrel_add_gtest name)
  cmake_parse_arguments(T "SIM" "TIMEOUT;SIM_PROFILE" "SOURCES;LIBS;LABELS;ARGS;ENVIRONMENT;SIM_ARGS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(_sim)
  if(T_SIM)
    set(_sim SIM SIM_ARGS ${T_SIM_ARGS})
    if(T_SIM_PROFILE)
      list(APPEND _sim SIM_PROFILE ${T_SIM_PROFILE})
    endif()
  endif()
  vantrel_add_test(NAME ${name} COMMAND ${name} ${T_ARGS} LABELS ${T_LABELS} TIMEOUT ${T_TIMEOUT}
                   ENVIRONMENT ${T_ENVIRONMENT} ${_sim})
endfunction()

# vantrel_add_fuzzer(NAME <target> SOURCES <files...> DICT <file> [LIBS <targets...>])
# A libFuzzer target (clang, configured with -DVANTREL_FUZZ=ON; scripts/fuzz.sh runs them)
# built with AddressSanitizer and UBSan, and a ctest test (label fuzz) that runs it for a
# minute: new inputs go to a working corpus in the build folder, the committed seeds in
# the source folder's corpus/ are only read.
function(vantrel_add_fuzzer)
  cmake_parse_arguments(F "" "NAME;DICT" "SOURCES;LIBS" ${ARGN})
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VANTREL_FUZZ needs clang (libFuzzer)")
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_include_directories(${F_NAME} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/..)
  if(F_LIBS)
    target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  endif()
  set(_flags -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_compile_options(${F_NAME} PRIVATE ${_flags} -g -O1)
  target_link_options(${F_NAME} PRIVATE ${_flags})
  set(_work ${CMAKE_CURRENT_BINARY_DIR}/corpus)
  file(MAKE_DIRECTORY ${_work})
  vantrel_add_test(NAME ${F_NAME}
    COMMAND ${F_NAME} -max_total_time=60 -timeout=10 -rss_limit_mb=2048
            -dict=${CMAKE_CURRENT_SOURCE_DIR}/${F_DICT}
            ${_work} ${CMAKE_CURRENT_SOURCE_DIR}/corpus
    LABELS fuzz TIMEOUT 240)
endfunction()
