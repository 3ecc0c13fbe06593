# The interop tests with real peers (the official MCP TypeScript SDK, the ws
# WebSocket library), pinned by tests/interop/package-lock.json.
#
# tarnel_add_interop_tests(PREFIX peers_target timeout environment)
# copies the test files and the lock into <current binary dir>/interop, where
# npm ci installs the peers (the custom target `peers_target`, part of all;
# nothing is written into the source tree), and adds a test PREFIX.<name> per
# tests/interop/<name>.test.mjs, run by the machine's node there with
# `environment` (a list of NAME=value) and `timeout` in seconds.
function(tarnel_add_interop_tests prefix peers_target timeout environment)
  find_program(NPM npm REQUIRED)
  find_program(NODE node REQUIRED)
  set(source ${PROJECT_SOURCE_DIR}/tests/interop)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/interop)
  file(GLOB files CONFIGURE_DEPENDS ${source}/*.mjs)
  foreach(file ${files} ${source}/package.json ${source}/package-lock.json)
    get_filename_component(name ${file} NAME)
    configure_file(${file} ${dir}/${name} COPYONLY)
  endforeach()
  add_custom_command(
    OUTPUT ${dir}/node_modules/.package-lock.json
    COMMAND ${NPM} ci --no-audit --no-fund --loglevel=error
    WORKING_DIRECTORY ${dir}
    DEPENDS ${source}/package.json ${source}/package-lock.json
    COMMENT "Installing the interop test peers (npm ci)")
  add_custom_target(${peers_target} ALL DEPENDS ${dir}/node_modules/.package-lock.json)
  file(GLOB tests CONFIGURE_DEPENDS ${source}/*.test.mjs)
  foreach(test_file ${tests})
    get_filename_component(test_name ${test_file} NAME_WE)
    get_filename_component(file_name ${test_file} NAME)
    add_test(NAME ${prefix}.${test_name} COMMAND ${NODE} --test ${dir}/${file_name} WORKING_DIRECTORY ${dir})
    set_tests_properties(${prefix}.${test_name} PROPERTIES ENVIRONMENT "${environment}" TIMEOUT ${timeout})
  endforeach()
endfunction()
