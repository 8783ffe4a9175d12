# What a plug-in bundle shows the process that loads it: its format's entry
# points and nothing else. Anything more can bind to another plug-in's copy of
# the same classes in the same host, and a visible inline variable or template
# static becomes a GNU unique symbol, after which the loader never unmaps the
# binary (a host could not reload a rebuilt plug-in).

# qor_hide_symbols(<target>...)
# Compiles each target with hidden visibility. Interface libraries are
# skipped: their sources compile in their consumer, with its settings.
function(qor_hide_symbols)
    foreach(target ${ARGN})
        get_target_property(type ${target} TYPE)
        if(NOT type STREQUAL "INTERFACE_LIBRARY")
            set_target_properties(${target} PROPERTIES
                C_VISIBILITY_PRESET hidden
                CXX_VISIBILITY_PRESET hidden
                VISIBILITY_INLINES_HIDDEN ON)
        endif()
    endforeach()
endfunction()

# qor_export_only(<target> <symbol>...)
# Links an ELF module with a version script that keeps only the named symbols
# global. Hidden visibility cannot reach what the standard library's headers
# declare visible (std:: inline variables and function-local statics, type
# information of its templates), so the linker drops those too.
function(qor_export_only target)
    if(NOT (CMAKE_SYSTEM_NAME STREQUAL "Linux" OR CMAKE_SYSTEM_NAME MATCHES ".*BSD"))
        return()
    endif()
    list(JOIN ARGN ";\n        " globals)
    set(script "${CMAKE_CURRENT_BINARY_DIR}/${target}.exports")
    # Rewritten only when the list changes, so a reconfigure relinks nothing.
    file(CONFIGURE OUTPUT "${script}" CONTENT "{\n    global:\n        ${globals};\n    local:\n        *;\n};\n")
    target_link_options(${target} PRIVATE "LINKER:--version-script=${script}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${script}")
endfunction()
