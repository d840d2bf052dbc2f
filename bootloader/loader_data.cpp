// The loader's initialised data (placeholder values until the ports land) and its
// zero-initialised state.
#include "loader_state.h"
namespace bl {
LoaderData g_data = {{}, {}, {0x02, 0x51, 0x4D, 0x00, 0x00, 0x01}, {192, 168, 1, 201}, {255, 255, 255, 255}, {0, 0}};
LoaderState g_state;
}  // namespace bl
