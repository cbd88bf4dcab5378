# Building blocks of an in-process COM server, shared by Vantrel.dll and Brenmo.dll.
#
# vantrel_type_library(NAME <base> IDL <file> [POSTPROCESS <script>])
#   Compiles the IDL with widl into ${CMAKE_CURRENT_BINARY_DIR}/idl: <base>.h (the
#   interfaces), <base>_i.c (the identifiers) and <base>.tlb (the type library, passed
#   through POSTPROCESS <idl> <in.tlb> <out.tlb> when given). Creates the target
#   <lower base>_idl (static: the identifiers, the header directory on the include path)
#   and the custom target <lower base>_tlb; sets <base>_IDL_DIR in the caller's scope.
#
# vantrel_dll_exports(<out var> <dll file name>)
#   Writes the .def of the four standard exports with ordinals 1 to 4 (DllCanUnloadNow,
#   DllGetClassObject, DllRegisterServer, DllUnregisterServer); on 32-bit Windows the
#   names bind to their __stdcall-decorated symbols.
#
# vantrel_check_dll(<target> <test label>)
#   Checks the DLL with automation/tests/check_dll.py as it ships (a copy stripped of its
#   debug information as scripts/release.sh strips it): system imports only, the four
#   exports, no test hook, no path of this machine (source, build, dependency cache,
#   home, any top-level folder), OpenSSL's folders under C:\Program Files. The i686
#   build runs only its few 32-bit Wine tests, so there the check is a step of the build;
#   the x86_64 build registers it as the test <lower target>_dll_imports_exports.

set(VANTREL_WINE_IDL_DIR /usr/include/wine/wine/windows CACHE PATH "Wine's .idl files")
set(VANTREL_STDOLE_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH "Folder holding stdole2.tlb")
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8 AND EXISTS /usr/lib/x86_64-linux-gnu/wine/i386-windows/stdole2.tlb)
  set(VANTREL_STDOLE_DIR /usr/lib/x86_64-linux-gnu/wine/i386-windows CACHE PATH "" FORCE)
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter)

function(vantrel_type_library)
  cmake_parse_arguments(T "" "NAME;IDL;POSTPROCESS" "" ${ARGN})
  set(gen ${CMAKE_CURRENT_BINARY_DIR}/idl)
  set(widl ${VANTREL_WIDL} -I ${VANTREL_WINE_IDL_DIR} -L ${VANTREL_STDOLE_DIR})
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    list(APPEND widl --win64)
  else()
    list(APPEND widl --win32)
  endif()
  file(MAKE_DIRECTORY ${gen})
  add_custom_command(OUTPUT ${gen}/${T_NAME}.h COMMAND ${widl} -h -o ${gen}/${T_NAME}.h ${T_IDL}
                     DEPENDS ${T_IDL} VERBATIM)
  add_custom_command(OUTPUT ${gen}/${T_NAME}_i.c COMMAND ${widl} -u -o ${gen}/${T_NAME}_i.c ${T_IDL}
                     DEPENDS ${T_IDL} VERBATIM)
  if(T_POSTPROCESS)
    add_custom_command(OUTPUT ${gen}/${T_NAME}.tlb
      COMMAND ${widl} -t -o ${gen}/${T_NAME}_widl.tlb ${T_IDL}
      COMMAND Python3::Interpreter ${T_POSTPROCESS} ${T_IDL} ${gen}/${T_NAME}_widl.tlb ${gen}/${T_NAME}.tlb
      DEPENDS ${T_IDL} ${T_POSTPROCESS} VERBATIM)
  else()
    add_custom_command(OUTPUT ${gen}/${T_NAME}.tlb COMMAND ${widl} -t -o ${gen}/${T_NAME}.tlb ${T_IDL}
                       DEPENDS ${T_IDL} VERBATIM)
  endif()
  string(TOLOWER ${T_NAME} lower)
  add_custom_target(${lower}_tlb DEPENDS ${gen}/${T_NAME}.tlb)
  add_library(${lower}_idl STATIC ${gen}/${T_NAME}_i.c ${gen}/${T_NAME}.h)
  target_include_directories(${lower}_idl PUBLIC ${gen})
  target_link_libraries(${lower}_idl PUBLIC ole32 oleaut32 uuid)
  set(${T_NAME}_IDL_DIR ${gen} PARENT_SCOPE)
endfunction()

function(vantrel_dll_exports out dll)
  set(def ${CMAKE_CURRENT_BINARY_DIR}/${dll}.def)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(text "LIBRARY \"${dll}\"\nEXPORTS\n  DllCanUnloadNow @1 PRIVATE\n  DllGetClassObject @2 PRIVATE\n  DllRegisterServer @3 PRIVATE\n  DllUnregisterServer @4 PRIVATE\n")
  else()
    set(text "LIBRARY \"${dll}\"\nEXPORTS\n  DllCanUnloadNow = DllCanUnloadNow@0 @1 PRIVATE\n  DllGetClassObject = DllGetClassObject@12 @2 PRIVATE\n  DllRegisterServer = DllRegisterServer@0 @3 PRIVATE\n  DllUnregisterServer = DllUnregisterServer@0 @4 PRIVATE\n")
  endif()
  file(CONFIGURE OUTPUT ${def} CONTENT "${text}" @ONLY)
  set(${out} ${def} PARENT_SCOPE)
endfunction()

function(vantrel_check_dll target label)
  get_filename_component(_cache "${VANTREL_DEPS_PREFIX}" DIRECTORY)
  set(_check ${PROJECT_SOURCE_DIR}/automation/tests/check_dll.py
      --strip ${VANTREL_MINGW_TRIPLET}-strip
      --machine-path ${PROJECT_SOURCE_DIR} --machine-path ${CMAKE_BINARY_DIR} --machine-path ${_cache}
      --machine-path $ENV{HOME}
      ${VANTREL_MINGW_TRIPLET}-objdump $<TARGET_FILE:${target}>)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    string(TOLOWER ${target} lower)
    vantrel_add_test(NAME ${lower}_dll_imports_exports HOST COMMAND python3 ${_check} LABELS ${label} TIMEOUT 60)
  else()
    add_custom_command(TARGET ${target} POST_BUILD COMMAND Python3::Interpreter ${_check} VERBATIM)
  endif()
endfunction()
