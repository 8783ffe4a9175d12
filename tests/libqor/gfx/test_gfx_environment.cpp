#include "libqor/gfx/GuiTestSupport.h"

// One MessageManager for every test of the program.
static ::testing::Environment* const juceEnvironment =
    ::testing::AddGlobalTestEnvironment(new guitest::JuceEnvironment);
