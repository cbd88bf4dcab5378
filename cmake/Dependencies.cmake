# Third-party dependencies as imported targets:
#   dep::asio  standalone asio with Boost date_time (headers only)
#   dep::ssl   OpenSSL (libssl + libcrypto)
#   dep::curl  libcurl, easy interface
#   dep::xml2  libxml2
#   GTest::gtest, GTest::gtest_main
# Natively they come from Debian's -dev packages. For Windows the libraries come from
# the cross-built cache that scripts/setup.sh fills, and asio/Boost from Debian's
# header packages through a private include overlay (never /usr/include itself, whose
# C library headers would clash with MinGW's).

find_package(Threads REQUIRED)

add_library(dep::asio INTERFACE IMPORTED GLOBAL)
target_compile_definitions(dep::asio INTERFACE ASIO_STANDALONE ASIO_HAS_BOOST_DATE_TIME ASIO_NO_DEPRECATED_OFF)
if(VANTREL_SANITIZE STREQUAL "thread")
  # asio's headers use std::atomic_thread_fence, which GCC reports under -fsanitize=thread.
  target_compile_options(dep::asio INTERFACE -Wno-tsan)
endif()

if(WIN32)
  if(DEFINED ENV{VANTREL_DEPS_CACHE})
    set(_cache "$ENV{VANTREL_DEPS_CACHE}")
  else()
    set(_cache "$ENV{HOME}/.cache/vantrel-deps")
  endif()
  set(VANTREL_DEPS_PREFIX "${_cache}/${VANTREL_MINGW_TRIPLET}" CACHE PATH "Cross-built OpenSSL, libcurl and libxml2")
  foreach(_lib ssl crypto curl xml2)
    if(NOT EXISTS "${VANTREL_DEPS_PREFIX}/lib/lib${_lib}.a")
      message(FATAL_ERROR "lib${_lib}.a missing in ${VANTREL_DEPS_PREFIX}: run scripts/setup.sh first")
    endif()
  endforeach()

  set(_overlay "${CMAKE_BINARY_DIR}/third_party_headers")
  file(MAKE_DIRECTORY "${_overlay}")
  foreach(_h asio asio.hpp boost)
    if(NOT EXISTS "${_overlay}/${_h}")
      file(CREATE_LINK "/usr/include/${_h}" "${_overlay}/${_h}" SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(dep::asio SYSTEM INTERFACE "${_overlay}")
  target_link_libraries(dep::asio INTERFACE ws2_32 mswsock Threads::Threads)
  # asio picks its internal thread class by whether <pthread.h> came first (MinGW's
  # winpthreads defines _POSIX_THREADS); translation units that disagree break the one
  # definition rule and corrupt io_context shutdown. Decide once for every unit.
  target_compile_definitions(dep::asio INTERFACE ASIO_HAS_PTHREADS=1)

  # Real imported static libraries, so that CMake orders each archive after those using it.
  function(_vantrel_static name file)
    add_library(${name} STATIC IMPORTED GLOBAL)
    set_target_properties(${name} PROPERTIES IMPORTED_LOCATION "${VANTREL_DEPS_PREFIX}/lib/${file}")
    target_include_directories(${name} SYSTEM INTERFACE "${VANTREL_DEPS_PREFIX}/include")
  endfunction()
  _vantrel_static(dep::crypto libcrypto.a)
  target_link_libraries(dep::crypto INTERFACE ws2_32 crypt32 bcrypt gdi32 user32 advapi32)
  _vantrel_static(dep::ssl libssl.a)
  target_link_libraries(dep::ssl INTERFACE dep::crypto)
  _vantrel_static(dep::curl libcurl.a)
  target_compile_definitions(dep::curl INTERFACE CURL_STATICLIB)
  target_link_libraries(dep::curl INTERFACE dep::ssl ws2_32 crypt32 bcrypt)
  _vantrel_static(dep::xml2 libxml2.a)
  target_compile_definitions(dep::xml2 INTERFACE LIBXML_STATIC)
  target_include_directories(dep::xml2 SYSTEM INTERFACE "${VANTREL_DEPS_PREFIX}/include/libxml2")
  target_link_libraries(dep::xml2 INTERFACE ws2_32)

  # GoogleTest from Debian's sources, built with the cross compiler.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(OpenSSL REQUIRED)
  find_package(CURL REQUIRED)
  find_package(LibXml2 REQUIRED)
  find_package(GTest REQUIRED)
  target_link_libraries(dep::asio INTERFACE Threads::Threads)

  add_library(dep::ssl INTERFACE IMPORTED GLOBAL)
  target_link_libraries(dep::ssl INTERFACE OpenSSL::SSL OpenSSL::Crypto)
  add_library(dep::curl INTERFACE IMPORTED GLOBAL)
  target_link_libraries(dep::curl INTERFACE CURL::libcurl)
  add_library(dep::xml2 INTERFACE IMPORTED GLOBAL)
  target_link_libraries(dep::xml2 INTERFACE LibXml2::LibXml2)
endif()
