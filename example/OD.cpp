#include "OD.h"
