// The stand-in ControlCAN.dll records no trace of its own: the programs
// trace the frames on their side of the DLL (vendor_win.cpp), so that the
// trace is the same with the vendor's DLL, and written once.
#include "trace.h"

extern "C" void controlcan_trace_frames(DWORD, DWORD, const VCI_CAN_OBJ *, DWORD) {}
