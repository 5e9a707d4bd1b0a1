#include "app/attendance/data_path.h"

namespace lorvent {

const char* const kDataFileMode = "at+";
const char* const kDataFileLineEnd = "\n";

std::string DefaultDataFileName() {
    return "d:\\kalvinor\\kalvinor.db";
}

} // namespace lorvent
