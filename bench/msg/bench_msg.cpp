// A browse response of 1,000 items through the message layer (write, read) against pugixml parsing
// and walking the same bytes, and pugixml building and writing an equal document.
#include <benchmark/benchmark.h>

#include <cstring>
#include <functional>
#include <pugixml.hpp>

#include "platform/msg/msg_classes.h"

namespace {

using RSP = databrowse::BrowseResponse::f;
using DATA = databrowse::BrowseData::f;

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
        makeResponse(1000).serialize(out);
        return out;
    }();
    return xml;
}

void BM_MessageSerialize(benchmark::State& state) {
    databrowse::BrowseResponse rsp = makeResponse(1000);
    std::string out;
    for (auto _ : state) {
        rsp.serialize(out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
}

void BM_MessageUnserialize(benchmark::State& state) {
    const std::string& xml = responseXml();
    for (auto _ : state) {
        databrowse::BrowseResponse rsp;
        if (rsp.unserialize(xml) != 0) state.SkipWithError("unserialize failed");
        benchmark::DoNotOptimize(rsp.fieldCount());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(xml.size()));
}

// Visits every element and attribute and reads every value, as a reader of the items would.
size_t walk(pugi::xml_node node) {
    size_t seen = 0;
    for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute())
        seen += strlen(a.name()) + strlen(a.value());
    for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) seen += walk(c);
    return seen;
}

void BM_PugixmlParseWalk(benchmark::State& state) {
    const std::string& xml = responseXml();
    for (auto _ : state) {
        pugi::xml_document doc;
        doc.load_buffer(xml.data(), xml.size(), pugi::parse_escapes | pugi::parse_cdata, pugi::encoding_utf8);
        benchmark::DoNotOptimize(walk(doc));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(xml.size()));
}

// The same document built node by node and written out.
void BM_PugixmlBuildWrite(benchmark::State& state) {
    pugi::xml_document source;
    source.load_buffer(responseXml().data(), responseXml().size(), pugi::parse_escapes, pugi::encoding_utf8);
    struct Writer : pugi::xml_writer {
        std::string out;
        void write(const void* data, size_t size) override {
            out.append(static_cast<const char*>(data), size);
        }
    };
    std::function<void(pugi::xml_node, pugi::xml_node)> copy = [&](pugi::xml_node from, pugi::xml_node to) {
        for (pugi::xml_node c = from.first_child(); c; c = c.next_sibling()) {
            pugi::xml_node n = to.append_child(c.name());
            for (pugi::xml_attribute a = c.first_attribute(); a; a = a.next_attribute())
                n.append_attribute(a.name()).set_value(a.value());
            copy(c, n);
        }
    };
    for (auto _ : state) {
        pugi::xml_document doc;
        copy(source, doc);
        Writer w;
        doc.save(w, "", pugi::format_raw | pugi::format_no_declaration);
        benchmark::DoNotOptimize(w.out.data());
    }
}

}  // namespace

BENCHMARK(BM_MessageSerialize)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PugixmlBuildWrite)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MessageUnserialize)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PugixmlParseWalk)->Unit(benchmark::kMicrosecond);
