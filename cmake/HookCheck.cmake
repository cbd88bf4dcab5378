# vantrel_forbid_test_hooks(DIRS <folder>...)
#   Fails the configuration when a header or source of the shipped code under one of the
#   folders (relative to the source tree; missing ones are skipped; their tests/ and
#   fuzz/ folders are not shipped) names a test hook: a name ending in ForTesting or
#   ForTest, or cancelRead (the receive's cancel, once overridable for a fault test).
#   Tests reach internals through friend test peers (declared friend here, defined in
#   the tests), or through code compiled with VANTREL_TEST_SEAMS into test-only
#   libraries: lines inside #ifdef VANTREL_TEST_SEAMS are not looked at.

set(_VANTREL_HOOK_NAMES "[A-Za-z0-9_]*ForTest(ing)?[A-Za-z0-9_]*|cancelRead")

function(vantrel_forbid_test_hooks)
  cmake_parse_arguments(H "" "" "DIRS" ${ARGN})
  set(found "")
  foreach(dir IN LISTS H_DIRS)
    set(root ${PROJECT_SOURCE_DIR}/${dir})
    if(NOT IS_DIRECTORY ${root})
      continue()
    endif()
    file(GLOB_RECURSE files RELATIVE ${PROJECT_SOURCE_DIR}
         ${root}/*.h ${root}/*.hpp ${root}/*.c ${root}/*.cpp ${root}/*.cc)
    foreach(file IN LISTS files)
      if(file MATCHES "(^|/)(tests|fuzz)/")
        continue()
      endif()
      file(READ ${PROJECT_SOURCE_DIR}/${file} text)
      if(NOT text MATCHES "${_VANTREL_HOOK_NAMES}")
        continue()
      endif()
      # Only the conditionals and the lines naming a hook matter; a line with a
      # semicolon may come in pieces, each of which still holds the name it had.
      file(STRINGS ${PROJECT_SOURCE_DIR}/${file} lines
           REGEX "^[ \t]*#[ \t]*(if|el|endif)|${_VANTREL_HOOK_NAMES}")
      set(depth 0)
      set(seam 0)  # depth of the #ifdef VANTREL_TEST_SEAMS being read; 0: none
      foreach(line IN LISTS lines)
        if(line MATCHES "^[ \t]*#[ \t]*if")
          math(EXPR depth "${depth} + 1")
          if(seam EQUAL 0 AND line MATCHES "^[ \t]*#[ \t]*if(def[ \t]+VANTREL_TEST_SEAMS|[ \t]+defined[ \t]*\\(?[ \t]*VANTREL_TEST_SEAMS)")
            set(seam ${depth})
          endif()
        elseif(line MATCHES "^[ \t]*#[ \t]*el")
          if(seam EQUAL depth)
            set(seam 0)
          endif()
        elseif(line MATCHES "^[ \t]*#[ \t]*endif")
          if(seam EQUAL depth)
            set(seam 0)
          endif()
          math(EXPR depth "${depth} - 1")
        elseif(seam EQUAL 0 AND line MATCHES "${_VANTREL_HOOK_NAMES}")
          string(REGEX MATCHALL "${_VANTREL_HOOK_NAMES}" names "${line}")
          list(REMOVE_DUPLICATES names)
          foreach(name IN LISTS names)
            list(APPEND found "${file}: ${name}")
          endforeach()
        endif()
      endforeach()
    endforeach()
  endforeach()
  if(found)
    list(REMOVE_DUPLICATES found)
    list(JOIN found "\n  " report)
    message(FATAL_ERROR "Test hooks in shipped code (reach internals through a friend test "
                        "peer defined in the tests, or a test-only library built with "
                        "VANTREL_TEST_SEAMS):\n  ${report}")
  endif()
endfunction()
