// What an SDO abort code means (the codes CiA 301 defines), for messages a
// person reads: "0x08000020" alone tells a technician nothing.
#include "client_api_names.h"

namespace {

struct AbortText {
    uint32_t code;
    const char *text;
};

const AbortText kAbortTexts[] = {
    {0x05030000u, "toggle bit not alternated"},
    {0x05040000u, "SDO protocol timed out"},
    {0x05040001u, "client/server command specifier not valid or unknown"},
    {0x05040002u, "invalid block size"},
    {0x05040003u, "invalid sequence number"},
    {0x05040004u, "CRC error"},
    {0x05040005u, "out of memory"},
    {0x06010000u, "unsupported access to an object"},
    {0x06010001u, "attempt to read a write-only object"},
    {0x06010002u, "attempt to write a read-only object"},
    {0x06020000u, "object does not exist in the object dictionary"},
    {0x06040041u, "object cannot be mapped to the PDO"},
    {0x06040042u, "the number and length of the objects to be mapped would exceed the PDO length"},
    {0x06040043u, "general parameter incompatibility"},
    {0x06040047u, "general internal incompatibility in the device"},
    {0x06060000u, "access failed due to a hardware error"},
    {0x06070010u, "data type does not match, length of service parameter does not match"},
    {0x06070012u, "data type does not match, length of service parameter too high"},
    {0x06070013u, "data type does not match, length of service parameter too low"},
    {0x06090011u, "sub-index does not exist"},
    {0x06090030u, "invalid value for parameter"},
    {0x06090031u, "value of parameter written too high"},
    {0x06090032u, "value of parameter written too low"},
    {0x06090036u, "maximum value is less than minimum value"},
    {0x060A0023u, "resource not available: SDO connection"},
    {0x08000000u, "general error"},
    {0x08000020u, "data cannot be transferred or stored to the application"},
    {0x08000021u, "data cannot be transferred or stored to the application because of local control"},
    {0x08000022u,
     "data cannot be transferred or stored to the application because of the present device state"},
    {0x08000023u, "object dictionary dynamic generation failed or no object dictionary is present"},
    {0x08000024u, "no data available"},
};

} // namespace

const char *client_api_sdo_abort_text(uint32_t code) {
    for (const AbortText &t : kAbortTexts) {
        if (t.code == code) {
            return t.text;
        }
    }
    return nullptr;
}
