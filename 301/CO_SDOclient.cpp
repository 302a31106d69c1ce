#include "CO_SDOclient.h"
