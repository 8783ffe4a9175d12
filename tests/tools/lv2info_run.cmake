# Runs lv2info on the built LV2 bundle alone (LV2_PATH is the bundle's folder)
# and leaves what it printed in `out` and `err`; stops the check when lv2info
# fails. Included by the lv2info checks, which run as
#   cmake -DLV2INFO=... -DBUNDLE=... -DURI=... -P <check>.cmake

foreach(variable LV2INFO BUNDLE URI)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "${variable} is not set (-D${variable}=...)")
    endif()
endforeach()

get_filename_component(folder "${BUNDLE}" DIRECTORY)
set(ENV{LV2_PATH} "${folder}")
execute_process(COMMAND "${LV2INFO}" "${URI}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "lv2info failed (${rc}):\n${err}${out}")
endif()
