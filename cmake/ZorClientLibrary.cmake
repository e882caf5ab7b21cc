# Helpers shared by the two client libraries, libzorsys and libzorapp.
#
# zor_add_command_frame(<object-library> NAMESPACE <ns> LOG_FILE <name> LOG_TAG <tag>)
#   Compiles the command frame of frame/ (composing, escaping, running, the listing reader,
#   outcome lines and the shared handle operations) into <object-library>
#   under the C++ namespace <ns>::frame, with the source file name and text tag that the
#   library's outcome lines carry. Each library gets its own copy of the frame, so the two
#   copies never meet at link time. The settings are public, so that test programs linking
#   the objects see the frame as the library does.
#
# zor_add_client_library(<name> OBJECTS <object-library> OUTPUT_NAME <file-stem>)
#   Builds the static library <name> from <object-library>: the objects are linked into one
#   relocatable object and every hidden symbol is made local, so the archive defines nothing
#   but the library's exported functions. Applications can then define any name of their own
#   (an escape_meta_char, say) and link both client libraries into one program.

# The merge needs GNU ld's --force-group-allocation, whichever linker the compiler uses.
find_program(ZOR_RELOCATABLE_LINKER NAMES ld.bfd ld REQUIRED)

function(zor_add_command_frame target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "NAMESPACE;LOG_FILE;LOG_TAG" "")
  get_filename_component(frame_dir ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../frame ABSOLUTE)
  target_sources(${target} PRIVATE ${frame_dir}/command_frame.cpp ${frame_dir}/shell_word.cpp
    ${frame_dir}/command_run.cpp ${frame_dir}/name_list.cpp)
  target_include_directories(${target} PUBLIC ${frame_dir})
  # The frame reads the status boundary from the contract it shares with the runtime.
  target_link_libraries(${target} PUBLIC zor_contract)
  target_compile_definitions(${target} PUBLIC
    ZOR_FRAME_NAMESPACE=${ARG_NAMESPACE}
    "ZOR_FRAME_LOG_FILE=\"${ARG_LOG_FILE}\""
    "ZOR_FRAME_LOG_TAG=\"${ARG_LOG_TAG}\"")
endfunction()

function(zor_add_client_library name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "OBJECTS;OUTPUT_NAME" "")
  set(merged ${CMAKE_CURRENT_BINARY_DIR}/${ARG_OUTPUT_NAME}_merged.o)
  # --force-group-allocation dissolves COMDAT groups, so inline functions that both libraries
  # happen to instantiate stay private copies instead of being merged across libraries.
  add_custom_command(OUTPUT ${merged}
    COMMAND ${ZOR_RELOCATABLE_LINKER} -r --force-group-allocation -o ${merged}
            $<TARGET_OBJECTS:${ARG_OBJECTS}>
    # clang's -fsanitize=function emits the type_info of function types with default
    # visibility; those copies are the library's own as well.
    COMMAND ${CMAKE_OBJCOPY} --localize-hidden --wildcard --localize-symbol=_ZTIF*
            --localize-symbol=_ZTSF* ${merged}
    DEPENDS $<TARGET_OBJECTS:${ARG_OBJECTS}>
    COMMAND_EXPAND_LISTS VERBATIM
    COMMENT "Merging ${ARG_OUTPUT_NAME} into one object with only its exported symbols global")
  add_library(${name} STATIC ${merged})
  # The merge reads the objects, so they are built first even when only the archive is asked for.
  add_dependencies(${name} ${ARG_OBJECTS})
  set_target_properties(${name} PROPERTIES LINKER_LANGUAGE CXX OUTPUT_NAME ${ARG_OUTPUT_NAME})
endfunction()
