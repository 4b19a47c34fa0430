# Build settings shared by every target of the project.

# Output folders: programs and shared libraries side by side, so that the
# bridge finds the transport library beside itself on both platforms.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)

if(WIN32)
  # Without -static the programs need MinGW's runtime DLLs and fail silently under Wine.
  string(APPEND CMAKE_EXE_LINKER_FLAGS " -static")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS " -static")
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
else()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()

if(PYREL_SANITIZE)
  add_compile_options(-fsanitize=${PYREL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${PYREL_SANITIZE})
endif()

# Warnings as errors for the project's own targets (not for third-party code).
function(pyrel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Werror)
endfunction()

# A GoogleTest program. Natively every test case becomes a CTest test of its
# own; under Wine one CTest test runs the whole program, since each start of
# a Windows program costs a Wine process start.
include(GoogleTest)
function(pyrel_add_gtest target)
  cmake_parse_arguments(ARG "" "" "LABELS" ${ARGN})
  target_link_libraries(${target} PRIVATE GTest::gtest GTest::gtest_main)
  pyrel_warnings(${target})
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${target} COMMAND ${target} --gtest_color=no)
    if(ARG_LABELS)
      set_tests_properties(${target} PROPERTIES LABELS "${ARG_LABELS}")
    endif()
  else()
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()
