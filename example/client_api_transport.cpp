// The transport's own explanation of why it cannot work, passed up to the
// program so that its window can show it.
#include "client_api.h"

#include "controlcan_transport.h"

extern "C" const char *client_api_transport_problem(void) {
    return controlcan_transport_problem();
}
