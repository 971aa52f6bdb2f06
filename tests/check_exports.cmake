# Fails unless every symbol that LIBRARY defines in its dynamic table is either a member of
# CollectFileReaderWriter under the version node COLLECT_FILE_1, or a symbol of the safe interface
# (namespace collect_file) under COLLECT_FILE_1.2, or one of the calls that version 1.3 added
# under COLLECT_FILE_1.3, or one of the nodes themselves.
execute_process(COMMAND nm -DC --defined-only "${LIBRARY}"
    OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(members 0)
set(safe 0)
set(added 0)
foreach(line IN LISTS lines)
    if(line STREQUAL "")
        continue()
    endif()
    string(REGEX REPLACE "^[0-9a-f]+ [A-Za-z] " "" name "${line}")
    if(name MATCHES "^collect_file::(Writer::flush\\(\\)|Reader::open\\(int\\)|marker\\(|section_of\\()")
        if(NOT name MATCHES "@@COLLECT_FILE_1\\.3$")
            message(FATAL_ERROR "a call of version 1.3 outside COLLECT_FILE_1.3: ${line}")
        endif()
        math(EXPR added "${added} + 1")
    elseif(name MATCHES "^CollectFileReaderWriter::.*@@COLLECT_FILE_1$")
        math(EXPR members "${members} + 1")
    elseif(name MATCHES "^collect_file::.*@@COLLECT_FILE_1\\.2$")
        math(EXPR safe "${safe} + 1")
    elseif(NOT name MATCHES "^COLLECT_FILE_1(\\.[23])?$")
        message(FATAL_ERROR "exported symbol that is not a versioned member of the interface: ${line}")
    endif()
endforeach()
if(members EQUAL 0 OR safe EQUAL 0 OR added EQUAL 0)
    message(FATAL_ERROR "missing: ${members} class members, ${safe} collect_file symbols of 1.2, "
        "${added} of 1.3 exported")
endif()
message(STATUS "${members} class members under COLLECT_FILE_1, ${safe} collect_file symbols "
    "under COLLECT_FILE_1.2, ${added} under COLLECT_FILE_1.3, nothing else")
