# Fails when an audio port of the built LV2 bundle, as lv2info shows it, may
# be left unconnected: a host that honours lv2:connectionOptional hands the
# plug-in no buffer for such a port.
#   cmake -DLV2INFO=... -DBUNDLE=... -DURI=... -P lv2_audio_ports_check.cmake

include("${CMAKE_CURRENT_LIST_DIR}/lv2info_run.cmake")

# One piece per port: from its "Port N:" line to the next.
string(REGEX REPLACE "\n[ \t]*Port ([0-9]+):" "\n@@Port \\1:" marked "${out}")
string(REPLACE ";" "," marked "${marked}")
string(REPLACE "@@" ";" pieces "${marked}")

set(inputs 0)
set(outputs 0)
foreach(piece IN LISTS pieces)
    if(NOT piece MATCHES "^Port [0-9]+:" OR NOT piece MATCHES "lv2core#AudioPort")
        continue()
    endif()
    if(piece MATCHES "connectionOptional")
        message(FATAL_ERROR "an audio port is optional:\n${piece}")
    endif()
    if(piece MATCHES "lv2core#InputPort")
        math(EXPR inputs "${inputs} + 1")
    elseif(piece MATCHES "lv2core#OutputPort")
        math(EXPR outputs "${outputs} + 1")
    endif()
endforeach()

if(NOT (inputs EQUAL 1 AND outputs EQUAL 1))
    message(FATAL_ERROR "expected 1 audio input and 1 audio output, found ${inputs} and ${outputs}:\n${out}")
endif()
message(STATUS "lv2info: every audio port of ${URI} is required")
