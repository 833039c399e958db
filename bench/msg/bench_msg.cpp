// The message layer against pugixml underneath it, each pair doing the same work in the same run:
//  - a browse response of 1,000 items written out: a prebuilt message against a prebuilt pugixml
//    document holding the same elements and attributes;
//  - the same bytes read: decoded into a message against parsed by pugixml and every value visited;
//  - a message of 1,000, 100,000 and 400,000 fields decoded against pugixml parsing and visiting it
//    (the cost of a field must not grow with the fields before it);
//  - the fixed cost of one browse through the chain: a page of 100 items as a media agent answers it
//    and an index-service request of some 90 attributes with its cycle and archive lists, each
//    written and read, against pugixml writing and parsing the same bytes.
// The ratio of every pair is printed at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <pugixml.hpp>

#include "bench/support/ratio.h"
#include "platform/msg/msg_classes.h"
#include "platform/msg/xml_codec.h"

namespace {

using RSP = databrowse::BrowseResponse::f;
using DATA = databrowse::BrowseData::f;
using REQ = Indexing::BrowseReq::f;

constexpr int kItems = 1000;
constexpr int kPageItems = 100;
constexpr int kFieldCounts[] = {1000, 100000, 400000};

databrowse::BrowseResponse makeResponse(int items) {
    databrowse::BrowseResponse rsp;
    rsp.setint64(RSP::respType, 0);
    rsp.setstring(RSP::workerId, "worker-42");
    rsp.getObjectAccessor(RSP::session, true)
        ->setstring(databrowse::BrowseSession::f::sessionId, "B1F4-77AC-0012");
    auto* list = rsp.getObjectAccessor(RSP::browseResult, true)
                     ->getlistobject(databrowse::BrowseResult::f::dataResultSet, true);
    list->reserve(items);
    for (int k = 0; k < items; ++k) {
        databrowse::BrowseData d;
        std::string name = "document-" + std::to_string(k) + ".docx";
        d.setint64(DATA::modificationTime, 1700000000 + k);
        d.setint64(DATA::size, 4096LL * (k % 97));
        d.setint64(DATA::version, 1);
        d.setstring(DATA::name, name);
        d.setstring(DATA::displayName, name);
        d.setstring(DATA::path, "/home/users/alice/projects/q" + std::to_string(k % 13) + "/" + name);
        d.getObjectAccessor(DATA::flags, true)->setint64(databrowse::BrowseItemFlags::f::file, 1);
        list->push_back(d);
    }
    return rsp;
}

const std::string& responseXml() {
    static const std::string xml = [] {
        std::string out;
        makeResponse(kItems).serialize(out);
        return out;
    }();
    return xml;
}

// A page as a media agent answers it: every item with its flags and its advanced data.
databrowse::BrowseResponse makePage(int items) {
    databrowse::BrowseResponse rsp = makeResponse(0);
    auto* list = rsp.getObjectAccessor(RSP::browseResult, true)
                     ->getlistobject(databrowse::BrowseResult::f::dataResultSet, true);
    using A = databrowse::Msg93::f;
    for (int k = 0; k < items; ++k) {
        databrowse::BrowseData d;
        std::string name = "report " + std::to_string(k) + " & notes.txt";
        auto* flags = d.getObjectAccessor(DATA::flags, true);
        flags->setint64(databrowse::BrowseItemFlags::f::file, k % 7 ? 1 : 0);
        flags->setint64(databrowse::BrowseItemFlags::f::directory, k % 7 ? 0 : 1);
        d.setstring(DATA::name, name);
        d.setstring(DATA::displayName, name);
        d.setstring(DATA::path, "/srv/share/finance/2026/q" + std::to_string(k % 4) + "/" + name);
        d.setint64(DATA::size, 1234567LL * (k % 31));
        d.setint64(DATA::modificationTime, 1760000000 + 37 * k);
        d.setint64(DATA::version, 1 + k % 3);
        auto* advanced = d.getObjectAccessor(DATA::advancedData, true);
        advanced->setint64(A::backupTime, 1760100000 + k);
        advanced->setint64(A::archiveFileId, 88000 + k % 5);
        advanced->setint64(A::offset, 4096LL * k);
        advanced->getObjectAccessor(A::subclientEntity, true)
            ->setint64(ZyEntities::Msg10::f::subclientId, 71);
        list->push_back(d);
    }
    return rsp;
}

// Every scalar field a class declares, set as a worker fills a request: numbers and short texts.
void fillScalars(CNMessageBase& m, int seed) {
    for (const MsgFieldInfo& f : m.classType()->fields()) {
        if (f.kind == MsgFieldKind::Int)
            m.setint64(f.i, f.j, 1000003LL * (seed + f.i) % 1900000000, m.getTagID(), f.code);
        else if (f.kind == MsgFieldKind::Str)
            m.setstring(f.i, f.j, std::string(f.ident) + "-" + std::to_string(seed), m.getTagID(), f.code);
    }
}

// An index-service request as super browse sends it: every declared attribute, the browse flags,
// three backup cycles and the data and index archives they read.
Indexing::BrowseReq makeIndexRequest() {
    Indexing::BrowseReq req;
    fillScalars(req, 1);
    req.setliststring(REQ::sourcePaths, {"/srv/share/finance", "/srv/share/legal"});
    req.setliststring(REQ::subclientPaths, {"/srv/share"});
    fillScalars(*req.getObjectAccessor(REQ::flags, true), 2);
    req.getObjectAccessor(REQ::idxMetadata, true)->setstring(IdxMetadata::Msg0::f::indexDbId, "db-7f3a");
    auto* cycles = req.getlistobject(REQ::backupCycles, true);
    for (int k = 0; k < 3; ++k) {
        Indexing::BackupCycle cycle;
        fillScalars(cycle, 10 + k);
        fillScalars(*cycle.getObjectAccessor(Indexing::BackupCycle::f::flags, true), k);
        cycles->push_back(cycle);
    }
    for (auto list : {REQ::dataArchives, REQ::indexArchives}) {
        auto* archives = req.getlistobject(list, true);
        for (int k = 0; k < 4; ++k) {
            Indexing::Archive archive;
            fillScalars(archive, 20 + k);
            archives->push_back(archive);
        }
    }
    return req;
}

// Each caller's lambda is its own type, so each gets its own text.
template <typename Make>
const std::string& xmlOnce(Make make) {
    static const std::string xml = [&] {
        std::string out;
        make().serialize(out);
        return out;
    }();
    return xml;
}

const std::string& pageXml() {
    return xmlOnce([] { return makePage(kPageItems); });
}

const std::string& indexRequestXml() {
    return xmlOnce([] { return makeIndexRequest(); });
}

// One element of a class that declares no fields, with `fields` distinct fields in code form
// ("f.<code>"), as a peer that sends many unknown fields would.
std::string manyFieldsXml(int fields) {
    databrowse::MappedBrowsePath empty;
    std::string root;
    empty.serialize(root);  // <MappedBrowsePath x.tag="..."/>
    std::string xml = root.substr(0, root.size() - 2);
    char field[32];
    for (int k = 1; k <= fields; ++k) {
        std::snprintf(field, sizeof field, " f.%06x=\"%d\"", k, k % 1000);
        xml += field;
    }
    return xml + "/>";
}

const std::string& manyFields(int fields) {
    static std::string texts[std::size(kFieldCounts)];
    for (size_t n = 0; n < std::size(kFieldCounts); ++n)
        if (kFieldCounts[n] == fields) {
            if (texts[n].empty()) texts[n] = manyFieldsXml(fields);
            return texts[n];
        }
    static const std::string none;
    return none;
}

struct StringWriter : pugi::xml_writer {
    std::string out;
    void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

// Visits every element and attribute and reads every value, as a reader of the items would.
size_t walk(pugi::xml_node node) {
    size_t seen = 0;
    for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute())
        seen += strlen(a.name()) + strlen(a.value());
    for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) seen += walk(c);
    return seen;
}

size_t parseAndWalk(const std::string& xml, benchmark::State& state) {
    pugi::xml_document doc;
    if (!doc.load_buffer(xml.data(), xml.size(), pugi::parse_escapes | pugi::parse_cdata,
                         pugi::encoding_utf8))
        state.SkipWithError("pugixml cannot parse");
    return walk(doc);
}

// ---- writing: both sides hold their tree already and write it out whole

void BM_MessageSerialize(benchmark::State& state) {
    databrowse::BrowseResponse rsp = makeResponse(kItems);
    std::string out;
    for (auto _ : state) {
        if (rsp.serialize(out) != 0) state.SkipWithError("serialize failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
}

void BM_PugixmlWrite(benchmark::State& state) {
    pugi::xml_document doc;
    doc.load_buffer(responseXml().data(), responseXml().size(), pugi::parse_escapes, pugi::encoding_utf8);
    size_t bytes = 0;
    for (auto _ : state) {
        StringWriter w;
        w.out.reserve(responseXml().size());
        doc.save(w, "", pugi::format_raw | pugi::format_no_declaration);
        bytes = w.out.size();
        benchmark::DoNotOptimize(w.out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

// ---- reading: both sides parse the same bytes and reach every value

void BM_MessageUnserialize(benchmark::State& state) {
    const std::string& xml = responseXml();
    for (auto _ : state) {
        databrowse::BrowseResponse rsp;
        if (rsp.unserialize(xml) != 0) state.SkipWithError("unserialize failed");
        benchmark::DoNotOptimize(rsp.fieldCount());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(responseXml().size()));
}

void BM_PugixmlParseWalk(benchmark::State& state) {
    const std::string& xml = responseXml();
    for (auto _ : state) benchmark::DoNotOptimize(parseAndWalk(xml, state));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(xml.size()));
}

// ---- the fixed cost of one browse: a page of items and an index-service request, each way

template <typename Message, typename Make>
void encodeMessage(benchmark::State& state, Make make) {
    Message m = make();
    std::string out;
    for (auto _ : state) {
        if (m.serialize(out) != 0) state.SkipWithError("serialize failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
}

template <typename Message>
void decodeMessage(benchmark::State& state, const std::string& xml) {
    for (auto _ : state) {
        std::unique_ptr<CNMessageBase> m;
        if (XMLDecoder().decode(Message::TAG, xml.data(), xml.size(), m) != 0)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(m.get());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(xml.size()));
}

void pugixmlWrite(benchmark::State& state, const std::string& xml) {
    pugi::xml_document doc;
    doc.load_buffer(xml.data(), xml.size(), pugi::parse_escapes, pugi::encoding_utf8);
    for (auto _ : state) {
        StringWriter w;
        doc.save(w, "", pugi::format_raw | pugi::format_no_declaration);
        benchmark::DoNotOptimize(w.out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(xml.size()));
}

void pugixmlRead(benchmark::State& state, const std::string& xml) {
    for (auto _ : state) benchmark::DoNotOptimize(parseAndWalk(xml, state));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(xml.size()));
}

void BM_PageEncode(benchmark::State& state) {
    encodeMessage<databrowse::BrowseResponse>(state, [] { return makePage(kPageItems); });
}
void BM_PageDecode(benchmark::State& state) {
    decodeMessage<databrowse::BrowseResponse>(state, pageXml());
}
void BM_PagePugixmlWrite(benchmark::State& state) {
    pugixmlWrite(state, pageXml());
}
void BM_PagePugixmlRead(benchmark::State& state) {
    pugixmlRead(state, pageXml());
}
void BM_IndexRequestEncode(benchmark::State& state) {
    encodeMessage<Indexing::BrowseReq>(state, makeIndexRequest);
}
void BM_IndexRequestDecode(benchmark::State& state) {
    decodeMessage<Indexing::BrowseReq>(state, indexRequestXml());
}
void BM_IndexRequestPugixmlWrite(benchmark::State& state) {
    pugixmlWrite(state, indexRequestXml());
}
void BM_IndexRequestPugixmlRead(benchmark::State& state) {
    pugixmlRead(state, indexRequestXml());
}

// ---- many fields in one message

void BM_MessageDecodeFields(benchmark::State& state) {
    const std::string& xml = manyFields(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        databrowse::MappedBrowsePath m;
        if (m.unserialize(xml) != 0) state.SkipWithError("unserialize failed");
        benchmark::DoNotOptimize(m.fieldCount());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_PugixmlParseWalkFields(benchmark::State& state) {
    const std::string& xml = manyFields(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(parseAndWalk(xml, state));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void fieldCounts(benchmark::internal::Benchmark* b) {
    for (int n : kFieldCounts) b->Arg(n);
}

}  // namespace

BENCHMARK(BM_MessageSerialize)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PugixmlWrite)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MessageUnserialize)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PugixmlParseWalk)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PageEncode)->Unit(benchmark::kMicrosecond)->Apply(hubbench::repeatedWithSpread);
BENCHMARK(BM_PagePugixmlWrite)->Unit(benchmark::kMicrosecond)->Apply(hubbench::repeatedWithSpread);
BENCHMARK(BM_PageDecode)->Unit(benchmark::kMicrosecond)->Apply(hubbench::repeatedWithSpread);
BENCHMARK(BM_PagePugixmlRead)->Unit(benchmark::kMicrosecond)->Apply(hubbench::repeatedWithSpread);
BENCHMARK(BM_IndexRequestEncode)->Unit(benchmark::kMicrosecond)->Apply(hubbench::repeatedWithSpread);
BENCHMARK(BM_IndexRequestPugixmlWrite)->Unit(benchmark::kMicrosecond)->Apply(hubbench::repeatedWithSpread);
BENCHMARK(BM_IndexRequestDecode)->Unit(benchmark::kMicrosecond)->Apply(hubbench::repeatedWithSpread);
BENCHMARK(BM_IndexRequestPugixmlRead)->Unit(benchmark::kMicrosecond)->Apply(hubbench::repeatedWithSpread);
BENCHMARK(BM_MessageDecodeFields)->Apply(fieldCounts)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PugixmlParseWalkFields)->Apply(fieldCounts)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    std::vector<hubbench::RatioPair> pairs = {
        {"BM_MessageSerialize", "BM_PugixmlWrite", "message serialize / pugixml write", 2},
        {"BM_MessageUnserialize", "BM_PugixmlParseWalk", "message unserialize / pugixml parse and walk", 4},
        {"BM_PageEncode", "BM_PagePugixmlWrite", "100-item page encode / pugixml write"},
        {"BM_PageDecode", "BM_PagePugixmlRead", "100-item page decode / pugixml parse and walk"},
        {"BM_IndexRequestEncode", "BM_IndexRequestPugixmlWrite", "index request encode / pugixml write"},
        {"BM_IndexRequestDecode", "BM_IndexRequestPugixmlRead",
         "index request decode / pugixml parse and walk"},
    };
    // How decoding scales with the size of a message: information.
    for (int n : kFieldCounts) {
        std::string arg = "/" + std::to_string(n);
        pairs.push_back({"BM_MessageDecodeFields" + arg, "BM_PugixmlParseWalkFields" + arg,
                         "message decode / pugixml parse and walk, " + std::to_string(n) + " fields"});
    }
    return hubbench::runWithRatios(argc, argv, std::move(pairs));
}
