# Checks what a Linux host learns from the built LV2 bundle through lv2info:
# URI, name, audio ports, the features it requires and the state interface.
#   cmake -DLV2INFO=... -DBUNDLE=... -DURI=... -P lv2info_check.cmake

include("${CMAKE_CURRENT_LIST_DIR}/lv2info_run.cmake")
if(err MATCHES "error|Duplicate|invalid")
    message(FATAL_ERROR "lilv complained:\n${err}")
endif()

set(expect
    "^${URI}\n"
    "\n[ \t]*Name:[ \t]+QOR KYM v2\n"
    "\n[ \t]*Class:[ \t]+Plugin\n"
    "\n[ \t]*Author:[ \t]+QOR AUDIO\n"
    "\n[ \t]*Bundle:[ \t]+file://[^\n]*QOR_KYM_v2\\.lv2/\n"
    "\n[ \t]*Optional Features:[ \t]+http://lv2plug.in/ns/lv2core#hardRTCapable\n"
    "\n[ \t]*Extension Data:[^\n]*state#interface")

# A port's two types come in no fixed order either.
function(expect_port index kind direction)
    set(a "http://lv2plug.in/ns/${kind}")
    set(b "http://lv2plug.in/ns/lv2core#${direction}")
    set(gap "\n[ \t]*")
    if(NOT (out MATCHES "Port ${index}:${gap}Type:[ \t]+${a}${gap}${b}\n"
            OR out MATCHES "Port ${index}:${gap}Type:[ \t]+${b}${gap}${a}\n"))
        message(FATAL_ERROR "lv2info shows no port ${index} of types ${a} and ${b}:\n${out}")
    endif()
endfunction()
expect_port(0 "lv2core#AudioPort" InputPort)
expect_port(1 "lv2core#AudioPort" OutputPort)
# Parameters travel as patch messages on the atom ports.
expect_port(2 "ext/atom#AtomPort" InputPort)
expect_port(3 "ext/atom#AtomPort" OutputPort)

foreach(pattern IN LISTS expect)
    if(NOT out MATCHES "${pattern}")
        message(FATAL_ERROR "lv2info output lacks \"${pattern}\":\n${out}")
    endif()
endforeach()

# lilv lists the required features in no fixed order: look for each of them
# between the two feature headings.
string(FIND "${out}" "Required Features:" requiredAt)
string(FIND "${out}" "Optional Features:" optionalAt)
if(requiredAt EQUAL -1 OR optionalAt LESS requiredAt)
    message(FATAL_ERROR "lv2info output lacks the feature lists:\n${out}")
endif()
math(EXPR requiredLength "${optionalAt} - ${requiredAt}")
string(SUBSTRING "${out}" ${requiredAt} ${requiredLength} required)
foreach(feature
        "http://lv2plug.in/ns/ext/options#options"
        "http://lv2plug.in/ns/ext/urid#map"
        "http://lv2plug.in/ns/ext/buf-size#boundedBlockLength")
    string(FIND "${required}" "${feature}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "lv2info lists no required feature ${feature}:\n${out}")
    endif()
endforeach()

# One audio input and one audio output: JUCE's wrapper publishes the first
# channel configuration (1 in, 1 out).
string(REGEX MATCHALL "lv2core#AudioPort" audio "${out}")
list(LENGTH audio audioPorts)
if(NOT audioPorts EQUAL 2)
    message(FATAL_ERROR "expected 2 audio ports, found ${audioPorts}:\n${out}")
endif()

# The nine parameters, in order, as the bundle describes them to hosts.
file(READ "${BUNDLE}/dsp.ttl" dsp)
string(REGEX MATCHALL "a lv2:Parameter ;\n[ \t]*rdfs:label \"[^\"]*\"" labels "${dsp}")
string(REGEX REPLACE "a lv2:Parameter ;\n[ \t]*rdfs:label \"([^\"]*)\"" "\\1" names "${labels}")
if(NOT names STREQUAL "Input;Level;Drive;Low;High;Presence;Blend;Bypass;Quality")
    message(FATAL_ERROR "dsp.ttl parameters: ${names}")
endif()

message(STATUS "lv2info: ${URI} passes")
