#include "data_path.h"

namespace lorvent {

std::string DefaultDataFileName() {
    return "d:\\kalvinor\\kalvinor.db";
}

} // namespace lorvent
