// OS services on POSIX systems.
#include "utils/os.h"
