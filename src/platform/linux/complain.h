// The Linux build's own lines on stderr ("velkoran: ..."), after the console
// text so far. The run report keeps them too: often the only word on why a
// run never reached a BMC.
#pragma once

namespace linuxplatform {

__attribute__((format(printf, 1, 2))) void complain(const char* format, ...);

}  // namespace linuxplatform
