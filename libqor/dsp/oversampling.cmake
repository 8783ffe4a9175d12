# qor_oversampling: half-band filters, block up/down-sampler, sample buffers.
# Calls juce_core (SSE2 query) but leaves juce_core itself to the final binary.
add_library(qor_oversampling STATIC
    ${CMAKE_CURRENT_LIST_DIR}/CAllPassFilter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/CAllPassFilterCascade.cpp
    ${CMAKE_CURRENT_LIST_DIR}/CHalfBandFilter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/blockUpDownsampling.cpp)
target_link_libraries(qor_oversampling PUBLIC qor_dsp qor_juce_core_headers)

# The sampler's fast kernels, one object library per instruction set, each
# compiled for its set alone; the sampler picks one at run time from what
# the processor supports. Nothing else is built with these flags.
foreach(variant IN ITEMS "SSE2;-msse2" "AVX2;-mavx2" "AVX512;-mavx512f;-mavx512vl;-mavx512dq")
    list(POP_FRONT variant name)
    string(TOLOWER "${name}" lower)
    add_library(qor_oversampling_${lower} OBJECT ${CMAKE_CURRENT_LIST_DIR}/blockUpDownsampling${name}.cpp)
    target_compile_options(qor_oversampling_${lower} PRIVATE ${variant})
    target_link_libraries(qor_oversampling_${lower} PRIVATE qor_dsp)
    target_sources(qor_oversampling PRIVATE $<TARGET_OBJECTS:qor_oversampling_${lower}>)
endforeach()
