# qor_oversampling: half-band filters, block up/down-sampler, sample buffers.
# Calls juce_core (SSE2 query) but leaves juce_core itself to the final binary.
add_library(qor_oversampling STATIC
    ${CMAKE_CURRENT_LIST_DIR}/CAllPassFilter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/CAllPassFilterCascade.cpp
    ${CMAKE_CURRENT_LIST_DIR}/CHalfBandFilter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/blockUpDownsampling.cpp)
target_link_libraries(qor_oversampling PUBLIC qor_dsp qor_juce_core_headers)
