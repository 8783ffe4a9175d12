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
        parameter, // apply the parameter's value as it stands when the job runs
        recheck    // give the engine the rate for the factor captured at posting
    };

    KymAudioProcessor* processor = nullptr;
    Kind kind = Kind::parameter;
    libqor::Parameter* parameter = nullptr;
    double factor = 0.0;

    static Job forParameter(KymAudioProcessor* owner, libqor::Parameter* changed) noexcept
    {
        Job job;
        job.processor = owner;
        job.kind = Kind::parameter;
        job.parameter = changed;
        return job;
    }

    static Job forRecheck(KymAudioProcessor* owner, double oversamplingFactor) noexcept
    {
        Job job;
        job.processor = owner;
        job.kind = Kind::recheck;
        job.factor = oversamplingFactor;
        return job;
    }

    // Defined with the processor, whose members it writes.
    void operator()() const noexcept;
};
