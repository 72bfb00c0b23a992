// The SMUX library's hot paths: a get response of ten varbinds through the
// encoder and decoder, and the MIB lookups over 10,000 object types.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "snmp/ber.h"
#include "snmp/mib.h"
#include "snmp/smux_pdu.h"
#include "snmp/types.h"

namespace {

smux_request* ten_varbind_response()
{
    snmp_varbind* list = nullptr;
    for (int i = 10; i > 0; --i) {
        char name[64];
        snprintf(name, sizeof name, "1.3.6.1.4.1.32473.11.2.11.4.1.1.%d.7", i);
        snmp_varbind* vb = i % 2 ? make_varbind(make_obj_id_from_dot(name), SNMP_INTEGER, 0, 1000 * i,
                                                nullptr, nullptr)
                                 : make_varbind(make_obj_id_from_dot(name), SNMP_OCTET_STRING, 0, 0,
                                                make_octet_from_text("fan speed nominal"), nullptr);
        vb->next = list;
        list = vb;
    }
    return make_request(12345, list);
}

void encode_decode_get_response_of_10_varbinds(benchmark::State& state)
{
    smux_request* req = ten_varbind_response();
    uint8_t buf[SMUX_MAX_PDU];
    for (auto _ : state) {
        ber::writer w(buf, sizeof buf);
        smux_encode_response(w, req, response_form::as_is);
        // Decode it back as a request of the same shape (the tag is the only
        // difference), which is the decoder's real work.
        uint8_t* p = const_cast<uint8_t*>(w.data());
        p[0] = 0xa0;
        smux_event ev{};
        const char* why;
        smux_pdu_decode(p, w.used, &ev, &why);
        benchmark::DoNotOptimize(ev.request);
        free_request(ev.request);
    }
    free_request(req);
}
BENCHMARK(encode_decode_get_response_of_10_varbinds);

// 100 tables of 100 columns under the daemon's subtree: 10,000 object types.
void load_big_mib()
{
    mib_reset();
    std::string defs = "vdnAgents enterprises.32473.11.2.11\n";
    char line[128];
    for (int t = 1; t <= 100; ++t) {
        snprintf(line, sizeof line, "tab%d vdnAgents.4.%d Aggregate read-only mandatory\n", t, t);
        defs += line;
        for (int c = 1; c <= 100; ++c) {
            snprintf(line, sizeof line, "col%dx%d tab%d.1.%d INTEGER read-only mandatory\n", t, c, t, c);
            defs += line;
        }
    }
    readobjects_from_buffer(defs.data(), defs.size(), "bench");
}

void name2inst_over_10000_object_types(benchmark::State& state)
{
    load_big_mib();
    snmp_oid* name = make_obj_id_from_dot("1.3.6.1.4.1.32473.11.2.11.4.57.1.63.2.5");
    for (auto _ : state) {
        object_instance* inst = name2inst(name);
        benchmark::DoNotOptimize(inst);
        free_inst(inst);
    }
    free_oid(name);
}
BENCHMARK(name2inst_over_10000_object_types);

void next2inst_over_10000_object_types(benchmark::State& state)
{
    load_big_mib();
    snmp_oid* name = make_obj_id_from_dot("1.3.6.1.4.1.32473.11.2.11.4.57.1.63.2.5");
    for (auto _ : state) {
        object_instance* inst = next2inst(name);
        benchmark::DoNotOptimize(inst);
        free_inst(inst);
    }
    free_oid(name);
}
BENCHMARK(next2inst_over_10000_object_types);

}  // namespace

BENCHMARK_MAIN();
