# Helpers shared by the two client libraries, libzorsys and libzorapp.
#
# zor_add_client_library(<name> OBJECTS <object-library>... OUTPUT_NAME <file-stem>)
#   Builds the static library <name> from the object libraries (the library's own and its copy
#   of the command frame, see frame/CMakeLists.txt): the objects are linked into one
#   relocatable object and every hidden symbol is made local, so the archive defines nothing
#   but the library's exported functions. Applications can then define any name of their own
#   (an escape_meta_char, say) and link both client libraries into one program.

# The merge needs GNU ld's --force-group-allocation, whichever linker the compiler uses.
find_program(ZOR_RELOCATABLE_LINKER NAMES ld.bfd ld REQUIRED)

function(zor_add_client_library name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "OUTPUT_NAME" "OBJECTS")
  set(merged ${CMAKE_CURRENT_BINARY_DIR}/${ARG_OUTPUT_NAME}_merged.o)
  set(objects)
  foreach(library IN LISTS ARG_OBJECTS)
    list(APPEND objects $<TARGET_OBJECTS:${library}>)
  endforeach()
  # --force-group-allocation dissolves COMDAT groups, so inline functions that both libraries
  # happen to instantiate stay private copies instead of being merged across libraries.
  add_custom_command(OUTPUT ${merged}
    COMMAND ${ZOR_RELOCATABLE_LINKER} -r --force-group-allocation -o ${merged}
            ${objects}
    # clang's -fsanitize=function emits the type_info of function types with default
    # visibility; those copies are the library's own as well.
    COMMAND ${CMAKE_OBJCOPY} --localize-hidden --wildcard --localize-symbol=_ZTIF*
            --localize-symbol=_ZTSF* ${merged}
    DEPENDS ${objects}
    COMMAND_EXPAND_LISTS VERBATIM
    COMMENT "Merging ${ARG_OUTPUT_NAME} into one object with only its exported symbols global")
  add_library(${name} STATIC ${merged})
  # The merge reads the objects, so they are built first even when only the archive is asked for.
  add_dependencies(${name} ${ARG_OBJECTS})
  set_target_properties(${name} PROPERTIES LINKER_LANGUAGE CXX OUTPUT_NAME ${ARG_OUTPUT_NAME})
endfunction()
