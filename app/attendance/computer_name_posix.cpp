#include "app/attendance/computer_name.h"

#include <sys/utsname.h>

namespace lorvent {

// The node name of the UTS namespace the program runs in: what `hostname`
// says.
std::string ComputerName() {
    utsname names{};
    if (uname(&names) != 0)
        return {};
    return names.nodename;
}

} // namespace lorvent
