#include "comms/log_text.h"
