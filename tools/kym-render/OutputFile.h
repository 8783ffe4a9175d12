#pragma once

#include <juce_core/juce_core.h>

#include <string>
#include <sys/types.h>

namespace kymrender
{

// The file a render writes: everything goes to a new temporary file in the
// target's folder, which replaces the target only on commit. A render that
// fails on the way leaves no partial file and the old one as it was. Only a
// regular file (or a link to one) is ever replaced.
class OutputFile
{
public:
    OutputFile() = default;
    ~OutputFile(); // removes the temporary file unless committed

    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Checks the target, creates its folder when missing and the temporary
    // file beside it. false with a reason when the target is a folder or any
    // other non-regular file, or the folder cannot be written.
    bool open(const juce::File& target, juce::String& error);

    // Where to write until commit.
    juce::File temporary() const { return juce::File(tempPath); }

    // Gives the written file the old file's permissions (a new one: the
    // usual ones under the umask) and renames it over the target.
    bool commit(juce::String& error);

private:
    std::string targetPath; // links resolved: the file that is replaced
    std::string tempPath;
    mode_t mode = 0;
    bool committed = false;
};

} // namespace kymrender
