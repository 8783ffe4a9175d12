#pragma once

namespace libqor
{

class Parameter;

// Anyone who wants to hear of a parameter's changes. A parameter only ever
// calls notifyParamChange; parameterCheck is the observer's own hook for
// bringing itself in line with a parameter's current value.
class ParamObserver
{
public:
    virtual ~ParamObserver();
    virtual void notifyParamChange(Parameter* parameter) = 0;
    virtual void parameterCheck(Parameter* parameter) = 0;
};

} // namespace libqor
