// Whole SMUX PDUs from the master into the framer and decoder; whatever
// decodes is encoded back as a response, as the daemon would.
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "snmp/smux_pdu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t total = 0;
    if (smux_pdu_frame(data, size, &total) != ber::frame_status::whole)
        return 0;
    smux_event ev{};
    const char* why = "";
    if (smux_pdu_decode(data, total, &ev, &why) != 0)
        return 0;
    if (ev.op == SMUX_OP_GET || ev.op == SMUX_OP_GET_NEXT || ev.op == SMUX_OP_SET) {
        uint8_t buf[SMUX_MAX_PDU];
        for (response_form form : {response_form::as_is, response_form::too_big, response_form::too_big_empty}) {
            ber::writer w(buf, sizeof buf);
            smux_encode_response(w, ev.request, form);
        }
        for (snmp_varbind* v = ev.request->varbinds; v != nullptr; v = v->next) {
            char text[SNMP_DOT_TEXT_SIZE];
            make_dot_from_obj_id(v->name, text);
        }
        free_request(ev.request);
    }
    return 0;
}
