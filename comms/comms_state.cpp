#include "comms/comms_state.h"
