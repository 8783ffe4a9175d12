# JUCE wiring shared by every target that touches the framework.
#
# qor_juce_core_headers: juce_core's include paths and definitions without its
#   sources, for libraries that call into juce_core but leave the one copy of
#   juce_core to the final binary (the plug-in or the test host compiles it).

add_library(qor_juce_core_headers INTERFACE)
target_include_directories(qor_juce_core_headers INTERFACE
    "$<TARGET_PROPERTY:juce::juce_core,INTERFACE_INCLUDE_DIRECTORIES>")
target_compile_definitions(qor_juce_core_headers INTERFACE
    "$<TARGET_PROPERTY:juce::juce_core,INTERFACE_COMPILE_DEFINITIONS>"
    JUCE_GLOBAL_MODULE_SETTINGS_INCLUDED=1
    JUCE_USE_CURL=0
    JUCE_WEB_BROWSER=0)

# Debian's JUCE uses the system's zlib, libpng and libjpeg in place of the
# copies JUCE carries, and the system's FLAC and Ogg Vorbis for
# juce_audio_formats; the module targets do not name them, so whoever compiles
# those modules links these.
find_package(ZLIB REQUIRED)
find_package(PNG REQUIRED)
find_package(JPEG REQUIRED)

# For binaries that compile juce_graphics (plug-in, test host).
add_library(qor_juce_graphics_libs INTERFACE)
target_link_libraries(qor_juce_graphics_libs INTERFACE PNG::PNG JPEG::JPEG ZLIB::ZLIB)

# For binaries that compile juce_audio_formats (render tool, test host).
add_library(qor_juce_audio_format_libs INTERFACE)
target_link_libraries(qor_juce_audio_format_libs INTERFACE FLAC vorbisenc vorbisfile vorbis ogg)
