# The agent's table of message types, generated from its data (one JSON file
# per type in src/client/core/operations/) by tools/operation_header.py into
# the build tree, where client/core/operations.hpp includes it.  Needs the
# Python interpreter found by find_package(Python).
function(vemo_operation_table target source_root)
  file(GLOB entries CONFIGURE_DEPENDS ${source_root}/src/client/core/operations/*.json)
  set(include_dir ${CMAKE_CURRENT_BINARY_DIR}/generated)
  set(header ${include_dir}/client/core/operation_table.hpp)
  # The list of files, rewritten only when it changes: a file taken away
  # leaves every other one older than the header, and must still regenerate.
  set(listing ${CMAKE_CURRENT_BINARY_DIR}/operation_files.txt)
  file(CONFIGURE OUTPUT ${listing} CONTENT "${entries}\n")
  add_custom_command(
    OUTPUT ${header}
    COMMAND ${Python_EXECUTABLE} ${source_root}/tools/operation_header.py ${header}
            --data ${source_root}/src/client/core/operations
    DEPENDS ${entries} ${listing} ${source_root}/tools/operation_header.py ${source_root}/tools/operation_table.py
    COMMENT "Generating the table of message types"
    VERBATIM)
  target_sources(${target} PRIVATE ${header})
  target_include_directories(${target} PUBLIC ${include_dir})
endfunction()
