#include "kym-render/OutputFile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kymrender
{

namespace
{

juce::String reason()
{
    return juce::String(std::strerror(errno));
}

} // namespace

OutputFile::~OutputFile()
{
    if (!tempPath.empty() && !committed)
        ::unlink(tempPath.c_str());
}

bool OutputFile::open(const juce::File& target, juce::String& error)
{
    const auto name = target.getFullPathName();
    std::string path = name.toStdString();
    struct stat st
    {};

    if (::stat(path.c_str(), &st) == 0)
    {
        if (S_ISDIR(st.st_mode))
        {
            error = name + " is a folder; --output takes a file name";
            return false;
        }

        if (!S_ISREG(st.st_mode))
        {
            error = name + " is not a regular file; it is left alone";
            return false;
        }

        mode = st.st_mode & 07777;

        // Through a link, the file it points at is replaced and the link kept.
        if (char* real = ::realpath(path.c_str(), nullptr))
        {
            path = real;
            std::free(real);
        }
        else
        {
            error = "cannot follow " + name + ": " + reason();
            return false;
        }
    }
    else if (errno == ENOENT)
    {
        struct stat link
        {};

        if (::lstat(path.c_str(), &link) == 0)
        {
            error = name + " is a link to nothing; it is left alone";
            return false;
        }

        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    else
    {
        error = "cannot write " + name + ": " + reason();
        return false;
    }

    const juce::File file(path);
    const auto folder = file.getParentDirectory();
    const auto made = folder.createDirectory();

    if (made.failed())
    {
        error = "cannot create the folder " + folder.getFullPathName() + ": " + made.getErrorMessage();
        return false;
    }

    // Hidden, beside the target, so that the rename stays within one file system.
    const auto pattern =
        folder.getChildFile("." + file.getFileName() + ".kym-render-XXXXXX").getFullPathName().toStdString();
    std::vector<char> temp(pattern.begin(), pattern.end());
    temp.push_back(0);
    const int fd = ::mkstemp(temp.data());

    if (fd < 0)
    {
        error = "cannot write in " + folder.getFullPathName() + ": " + reason();
        return false;
    }

    ::close(fd);
    targetPath = path;
    tempPath = temp.data();
    return true;
}

bool OutputFile::commit(juce::String& error)
{
    if (::chmod(tempPath.c_str(), mode) != 0 || std::rename(tempPath.c_str(), targetPath.c_str()) != 0)
    {
        error = "cannot replace " + juce::String(targetPath) + ": " + reason();
        return false;
    }

    committed = true;
    return true;
}

} // namespace kymrender
