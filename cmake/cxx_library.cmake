# The core returns std::expected from every operation, so nothing of
# jointbus builds on a standard library without it. Found out here, at
# configure time, in one sentence that says what to do, rather than as a
# screen of errors from the first file compiled. CMP0067 (new since 3.8)
# makes the probe compile as C++23, as the targets do.
include(CheckCXXSourceCompiles)

set(jointbus_expected_probe [=[
#include <expected>
#if !defined(__cpp_lib_expected) || __cpp_lib_expected < 202202L
#error "no std::expected"
#endif
int main() { std::expected<int, int> value{1}; return *value - 1; }
]=])

check_cxx_source_compiles("${jointbus_expected_probe}" JOINTBUS_HAVE_EXPECTED)

# libstdc++ 12 and 13 offer std::expected only when __cpp_concepts announces
# conditionally trivial special members. Clang has them from 16 on but
# announces the older value until 19, so the header would hide std::expected
# from the whole core. The -U first keeps clang from warning about the
# redefinition (warnings are errors). Applied to this build tree's targets
# only, never to an installed package's users.
set(JOINTBUS_CONCEPTS_OVERRIDE "")
if(NOT JOINTBUS_HAVE_EXPECTED AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang"
   AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 16 AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 19)
  set(CMAKE_REQUIRED_FLAGS "-U__cpp_concepts -D__cpp_concepts=202002L")
  check_cxx_source_compiles("${jointbus_expected_probe}" JOINTBUS_HAVE_EXPECTED_WITH_CONCEPTS)
  unset(CMAKE_REQUIRED_FLAGS)
  if(JOINTBUS_HAVE_EXPECTED_WITH_CONCEPTS)
    set(JOINTBUS_CONCEPTS_OVERRIDE -U__cpp_concepts -D__cpp_concepts=202002L)
  endif()
endif()

if(NOT JOINTBUS_HAVE_EXPECTED AND NOT JOINTBUS_CONCEPTS_OVERRIDE)
  message(FATAL_ERROR
    "jointbus needs a C++23 standard library with <expected>, which "
    "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} (${CMAKE_CXX_COMPILER}) does not have: "
    "build with GCC 12 or newer, for example on Ubuntu 22.04 "
    "`sudo apt install g++-12` then `CXX=g++-12 pip install jointbus` "
    "(or `cmake -DCMAKE_CXX_COMPILER=g++-12`).")
endif()
