# Helpers that give every project target the same standard and warnings.

set(CORVANE_WARNINGS -Wall -Wextra -Werror -Wshadow -Wconversion -Wsign-conversion
    $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast>)

# corvane_public_headers(<target>)
# Gives a library under src/ (or tests/) an include folder of its own that holds only its own headers, at
# their path below src/ ("sockets/...", "platform/dispatch/..."): a library sees another's
# headers only by linking it, so the build enforces the layering.
function(corvane_public_headers name)
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
  if(rel MATCHES "^\\.\\.")
    # test support libraries: "support/..." below tests/
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  set(root ${PROJECT_BINARY_DIR}/include/${name})
  get_filename_component(parent ${root}/${rel} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${rel} SYMBOLIC)
  target_include_directories(${name} PUBLIC ${root})
endfunction()

# corvane_library(<name> SOURCES ... [DEPS ...] [PRIVATE_DEPS ...])
# A static library below src/ whose headers are included as "<folder>/<file>.h".
function(corvane_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  corvane_public_headers(${name})
  target_compile_options(${name} PRIVATE ${CORVANE_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads PRIVATE ${ARG_PRIVATE_DEPS})
endfunction()

# corvane_test(<name> SOURCES ... DEPS ... [LABELS ...])
# One GoogleTest executable; its cases are registered with CTest one by one.
function(corvane_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_options(${name} PRIVATE ${CORVANE_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main Threads::Threads)
  set(props TIMEOUT 120)
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

# corvane_bench(<name> SOURCES ... DEPS ...)
function(corvane_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_options(${name} PRIVATE ${CORVANE_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark Threads::Threads)
endfunction()

# corvane_fuzz_corpus_test(<name> SOURCE <fuzz target .cpp> CORPUS <folder> DEPS ...)
# Builds a fuzz entry point with a plain driver and runs it once on every seed input, so the
# normal test run checks the seed corpus without libFuzzer.
function(corvane_fuzz_corpus_test name)
  cmake_parse_arguments(ARG "" "SOURCE;CORPUS" "DEPS" ${ARGN})
  add_executable(${name} ${PROJECT_SOURCE_DIR}/tests/support/fuzz_corpus_main.cpp ${ARG_SOURCE})
  target_compile_options(${name} PRIVATE ${CORVANE_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  add_test(NAME ${name} COMMAND ${name} ${ARG_CORPUS})
  set_tests_properties(${name} PROPERTIES TIMEOUT 120)
endfunction()

# corvane_fuzz_target(<name> DEPS ...)
# A libFuzzer entry point built from <name>.cpp in the current folder.
function(corvane_fuzz_target name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  add_executable(${name} ${name}.cpp)
  target_compile_options(${name} PRIVATE ${CORVANE_WARNINGS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
endfunction()

# Adds every subfolder of the current folder that has a CMakeLists.txt.
function(corvane_add_subfolders)
  file(GLOB entries LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(dir IN LISTS entries)
    if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()

# corvane_bundle_resources(<target>)
# Puts a link "resources" to the copied application resources next to the target's
# executable, where the main bundle finds them.
set(CORVANE_RESOURCE_DIR ${PROJECT_BINARY_DIR}/resources)
function(corvane_bundle_resources name)
  add_dependencies(${name} corvane_resources)
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${CORVANE_RESOURCE_DIR} $<TARGET_FILE_DIR:${name}>/resources)
endfunction()
