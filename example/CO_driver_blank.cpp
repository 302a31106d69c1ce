#include "CO_driver_blank.h"
