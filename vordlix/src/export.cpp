// The shared library's own translation unit; the functions come from vordlix_core,
// linked whole. Their declarations carry default visibility, everything else is hidden.
#include <vordlix/vordlix.h>
