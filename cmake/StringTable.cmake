# Helpers that compile string tables from resources/ into C++ sources.
#
# Data files are UTF-8 text, one string a line:
#     <id><TAB><text>
# Lines starting with '#' and blank lines are skipped. The text knows the escapes \n \t \r and
# \\; a literal TAB in the text is an error. The id is decimal, 0 to 65535. A malformed line, an
# id given twice (across all files of one table) or text that is not UTF-8 fails the build with
# "file:line: error: ...". The generator is the host tool resources/tools/resgen.cpp.
#
# orvix_string_table(TARGET <lib> SYMBOL <function> LANGUAGE <id> FILES <file.txt>...)
#     Adds a table for language <id> to the static library <lib> (the first call creates it):
#         const platform::ResourceTable* <function>();
#     The generated header "<lib>.h" (on <lib>'s include path) declares every function of the
#     library. Call once per language with the same <lib> to hold several languages. Programs
#     hand the tables to platform::register_own_table at start-up.
#
# orvix_resource_module(TARGET <lib> LANGUAGE <id> OUTPUT_DIR <dir> [FILE_NAME <name>]
#                       FILES <file.txt>... [BINARY <kind>:<id>:<file>...])
#     Builds the loadable module <lib> as <dir>/<name> (default: <lib> with the platform's
#     module suffix). It exports the C function orvix_resource_table that
#     platform::ResourceModule::load looks for; BINARY adds binary resources (kind in capitals,
#     for example HTML:1101:pages/settings.html).
#
# Relative file names are taken from the calling CMakeLists.txt's source folder.

get_filename_component(ORVIX_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

if(NOT TARGET orvix_resgen)
    add_executable(orvix_resgen ${ORVIX_SOURCE_ROOT}/resources/tools/resgen.cpp)
    # a build tool, not a program of the product: kept out of the program folder
    set_target_properties(orvix_resgen PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/hosttools)
endif()

function(_orvix_absolute_files out)
    set(result)
    foreach(file ${ARGN})
        get_filename_component(abs "${file}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        list(APPEND result "${abs}")
    endforeach()
    set(${out} ${result} PARENT_SCOPE)
endfunction()

function(orvix_string_table)
    cmake_parse_arguments(ARG "" "TARGET;SYMBOL;LANGUAGE" "FILES" ${ARGN})
    if(NOT ARG_TARGET OR NOT ARG_SYMBOL OR NOT ARG_LANGUAGE OR NOT ARG_FILES)
        message(FATAL_ERROR "orvix_string_table: TARGET, SYMBOL, LANGUAGE and FILES are required")
    endif()
    _orvix_absolute_files(files ${ARG_FILES})
    set(gen_dir ${CMAKE_CURRENT_BINARY_DIR}/${ARG_TARGET}_generated)
    set(source ${gen_dir}/${ARG_SYMBOL}.cpp)
    add_custom_command(
        OUTPUT ${source}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${gen_dir}
        COMMAND orvix_resgen --output ${source} --language ${ARG_LANGUAGE}
                --symbol ${ARG_SYMBOL} ${files}
        DEPENDS orvix_resgen ${files}
        COMMENT "Generating string table ${ARG_SYMBOL}"
        VERBATIM)
    if(NOT TARGET ${ARG_TARGET})
        add_library(${ARG_TARGET} STATIC ${source})
        target_link_libraries(${ARG_TARGET} PUBLIC orvixplatform)
        target_include_directories(${ARG_TARGET} PUBLIC ${gen_dir}/include)
        file(GENERATE OUTPUT ${gen_dir}/include/${ARG_TARGET}.h CONTENT
"#pragma once
// Generated: the string tables of ${ARG_TARGET}.
#include \"platform/module.h\"

const platform::ResourceTable* $<JOIN:$<TARGET_PROPERTY:${ARG_TARGET},ORVIX_STRING_TABLE_SYMBOLS>,()$<SEMICOLON>
const platform::ResourceTable* >()$<SEMICOLON>
")
    else()
        target_sources(${ARG_TARGET} PRIVATE ${source})
    endif()
    set_property(TARGET ${ARG_TARGET} APPEND PROPERTY ORVIX_STRING_TABLE_SYMBOLS ${ARG_SYMBOL})
endfunction()

function(orvix_resource_module)
    cmake_parse_arguments(ARG "" "TARGET;LANGUAGE;OUTPUT_DIR;FILE_NAME" "FILES;BINARY" ${ARGN})
    if(NOT ARG_TARGET OR NOT ARG_LANGUAGE OR NOT ARG_OUTPUT_DIR)
        message(FATAL_ERROR "orvix_resource_module: TARGET, LANGUAGE and OUTPUT_DIR are required")
    endif()
    _orvix_absolute_files(files ${ARG_FILES})
    set(binary_args)
    set(binary_files)
    foreach(entry ${ARG_BINARY})
        if(NOT entry MATCHES "^([A-Z0-9_]+):([0-9]+):(.+)$")
            message(FATAL_ERROR "orvix_resource_module: BINARY ${entry} is not <KIND>:<id>:<file>")
        endif()
        set(kind ${CMAKE_MATCH_1})
        set(id ${CMAKE_MATCH_2})
        get_filename_component(abs "${CMAKE_MATCH_3}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        list(APPEND binary_args --binary "${kind}:${id}:${abs}")
        list(APPEND binary_files "${abs}")
    endforeach()
    set(gen_dir ${CMAKE_CURRENT_BINARY_DIR}/${ARG_TARGET}_generated)
    set(source ${gen_dir}/resource_table.cpp)
    add_custom_command(
        OUTPUT ${source}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${gen_dir}
        COMMAND orvix_resgen --output ${source} --language ${ARG_LANGUAGE} --export-table
                ${binary_args} ${files}
        DEPENDS orvix_resgen ${files} ${binary_files}
        COMMENT "Generating resource module ${ARG_TARGET}"
        VERBATIM)
    add_library(${ARG_TARGET} MODULE ${source})
    target_include_directories(${ARG_TARGET} PRIVATE
        $<TARGET_PROPERTY:orvixplatform,INTERFACE_INCLUDE_DIRECTORIES>)
    set_target_properties(${ARG_TARGET} PROPERTIES
        LIBRARY_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIR}
        CXX_VISIBILITY_PRESET hidden)
    if(ARG_FILE_NAME)
        set_target_properties(${ARG_TARGET} PROPERTIES PREFIX "" SUFFIX "" OUTPUT_NAME ${ARG_FILE_NAME})
    else()
        set_target_properties(${ARG_TARGET} PROPERTIES PREFIX "")
    endif()
endfunction()
