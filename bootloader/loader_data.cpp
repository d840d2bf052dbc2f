// The loader's initialised data (the port operation tables and the network
// identity) and its zero-initialised state. g_data is the only initialised
// mutable global; it is constant-initialised (no constructor runs).
#include "bootloader/loader_state.h"
#include "bootloader/serial/ports.h"

namespace bl {

LoaderData g_data = {
    {cmd_open, cmd_read_byte, cmd_write_byte, cmd_rx_status, cmd_drain, cmd_wait_tx},
    {panel_open, panel_read_byte, panel_write_byte, panel_rx_status, panel_drain,
     panel_wait_tx},
    {0x02, 0x51, 0x4D, 0x00, 0x00, 0x01},  // locally administered, unicast
    {192, 168, 1, 201},
    {255, 255, 255, 255},
    {0, 0},
};

LoaderState g_state;

}  // namespace bl
