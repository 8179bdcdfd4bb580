// Factory of the executables' test steps.
#include "app/tests/defaultsteps.h"

namespace zorbix::app {

std::unique_ptr<TestSteps> MakeDefaultTestSteps() { return std::make_unique<DefaultTestSteps>(); }

}  // namespace zorbix::app
