#pragma once

namespace libqor
{
class Parameter;
}

class KymAudioProcessor;

// One unit of work for the audio thread, carried by the processor's queue.
// A plain record rather than a std::function, so making and copying a job
// never allocates: the queue stores it in place.
struct Job
{
    enum class Kind
    {
        parameter // apply the parameter's value as it stands when the job runs
    };

    KymAudioProcessor* processor = nullptr;
    Kind kind = Kind::parameter;
    libqor::Parameter* parameter = nullptr;

    static Job forParameter(KymAudioProcessor* owner, libqor::Parameter* changed) noexcept
    {
        Job job;
        job.processor = owner;
        job.kind = Kind::parameter;
        job.parameter = changed;
        return job;
    }

    // Defined with the processor, whose members it writes.
    void operator()() const noexcept;
};
