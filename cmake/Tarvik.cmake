# Project-wide compile settings and the helpers every directory uses.

add_library(tarvik_options INTERFACE)
target_compile_options(tarvik_options INTERFACE
  -Wall -Wextra -Werror -Wno-missing-field-initializers -Wno-unused-parameter
  -Wno-multichar)  # pool tags are written as multi-character constants
target_include_directories(tarvik_options INTERFACE
  ${PROJECT_SOURCE_DIR}
  ${PROJECT_SOURCE_DIR}/platform/include)

if(TARVIK_SANITIZER STREQUAL "asan")
  target_compile_options(tarvik_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(tarvik_options INTERFACE -fsanitize=address,undefined)
elseif(TARVIK_SANITIZER STREQUAL "tsan")
  target_compile_options(tarvik_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(tarvik_options INTERFACE -fsanitize=thread)
  target_compile_definitions(tarvik_options INTERFACE TARVIK_TSAN=1)
endif()

# tarvik_library(NAME SOURCES... [DEPS targets...])
function(tarvik_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(ARG_SOURCES)
    add_library(${name} STATIC ${ARG_SOURCES})
    target_link_libraries(${name} PUBLIC tarvik_options ${ARG_DEPS})
  else()
    # A directory whose sources have not landed yet.
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE tarvik_options ${ARG_DEPS})
  endif()
endfunction()

# tarvik_test(NAME SOURCES... [DEPS targets...] [LABELS labels...])
# Each gtest case becomes its own CTest test; threaded suites carry the
# "concurrency" label so the TSan job can select them.
function(tarvik_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE tarvik_options ${ARG_DEPS} GTest::gmock GTest::gtest_main)
  # One label at most: a list would be split into separate properties on
  # its way through the discovery script.
  if(ARG_LABELS)
    list(GET ARG_LABELS 0 label)
  else()
    set(label unit)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${label} TIMEOUT 300)
endfunction()
