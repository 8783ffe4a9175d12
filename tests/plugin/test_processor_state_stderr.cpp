// "Settings loaded" with standard error on a pipe whose reader has gone, as
// for a host started at the head of a pipeline that has already ended.

#include "test_processor_state_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

using namespace kymtest;

namespace
{

enum Outcome
{
    loaded = 0,
    noPipe,
    notApplied,
    notWritten,
    maskChanged,
    pendingChanged,
};

bool pipeSignalIn(const sigset_t& set)
{
    return sigismember(&set, SIGPIPE) == 1;
}

// Runs in a child process: SIGPIPE gets its default action, which ends the
// process, whatever this program inherited; then a record is loaded with
// standard error on the closed pipe.
Outcome loadWithClosedStandardError(bool blockedBefore, bool pendingBefore)
{
    struct sigaction defaultAction
    {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(SIGPIPE, &defaultAction, nullptr);

    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(blockedBefore ? SIG_BLOCK : SIG_UNBLOCK, &pipeSignal, nullptr);
    if (pendingBefore)
        pthread_kill(pthread_self(), SIGPIPE);

    auto p = makeProcessor();
    int ends[2];
    if (pipe(ends) != 0)
        return noPipe;
    close(ends[0]);
    std::fflush(stderr);
    const int savedStandardError = dup(2);
    dup2(ends[1], 2);
    close(ends[1]);

    const auto record = stateRecord(recordText());
    p->setStateInformation(record.data(), static_cast<int>(record.size()));

    const bool written = std::ferror(stderr) != 0; // the write met the closed pipe
    std::clearerr(stderr);
    dup2(savedStandardError, 2);
    close(savedStandardError);

    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    sigset_t pending;
    sigpending(&pending);

    if (p->parameters[0]->GetNormalised() != distinctValues[0])
        return notApplied;
    if (!written)
        return notWritten;
    if (pipeSignalIn(mask) != blockedBefore)
        return maskChanged;
    if (pipeSignalIn(pending) != pendingBefore)
        return pendingChanged;
    return loaded;
}

} // namespace

// The signal the write raises is never delivered; the thread's mask comes
// back as it was, and a signal that was pending before stays pending.
TEST(ProcessorStateStderr, ClosedPipeDoesNotEndTheHost)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case
    {
        const char* what;
        bool blockedBefore;
        bool pendingBefore;
    };
    const Case cases[] = {
        { "SIGPIPE open", false, false },
        { "SIGPIPE blocked by the host", true, false },
        { "SIGPIPE blocked and already pending", true, true },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        EXPECT_EXIT(std::_Exit(loadWithClosedStandardError(c.blockedBefore, c.pendingBefore)),
                    testing::ExitedWithCode(loaded), "");
    }
}
