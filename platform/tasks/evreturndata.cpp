#include "platform/tasks/evreturndata.h"

#include "platform/log/evdebug.h"

namespace {
constexpr size_t kMaxQueuedRecords = 64;
constexpr size_t kMaxQueuedBytes = 1u << 20;
}  // namespace

EvReturnData::EvReturnData(unsigned long kind, long long id, const CUxSocket* socket, bool flag,
                           CZyNetwork* network)
    : m_kind(kind), m_id(id), m_socket(socket), m_flag(flag), m_network(network) {}

EvReturnData::~EvReturnData() {
    CHubMutexLock lock(m_mutex);
    if (!m_queue.empty()) flushLocked();  // what was sent is delivered even without end()
}

bool EvReturnData::isEnded() const {
    CHubMutexLock lock(m_mutex);
    return m_ended;
}

bool EvReturnData::destinationLocked() {
    if (!m_destination) m_destination = EvReturnDestinations::find(m_id);
    if (!m_destination && !m_warned) {
        m_warned = true;
        EvDebug log(nullptr);
        log.setPrefixMessage("EvReturnData");
        // Job 0 is no job: the task of a request answered on its caller's connection (the router's direct
        // road), whose channel nobody reads. Only a real job's lost records are a failure.
        log.debugLvl(m_id == 0 ? 2 : -1,
                     "no destination registered for job [%lld]: records of this channel are dropped", m_id);
    }
    return m_destination != nullptr;
}

int EvReturnData::flushLocked() {
    if (m_queue.empty()) return 0;
    std::vector<EvReturnRecord> batch;
    batch.swap(m_queue);
    m_queuedBytes = 0;
    if (!destinationLocked()) return -1;
    for (const auto& r : batch) m_destination->deliver(r);
    return 0;
}

int EvReturnData::send(unsigned long kind, const void* data, unsigned long size) {
    if (size > 0 && !data) return -1;
    return send(kind, std::string(static_cast<const char*>(data), size));
}

int EvReturnData::send(unsigned long kind, std::string&& data, xmlscan::TItems items,
                       std::shared_ptr<CNMessageBase> read) {
    CHubMutexLock lock(m_mutex);
    if (m_ended || !destinationLocked()) return -1;
    const size_t size = data.size();
    EvReturnRecord record;
    record.kind = kind;
    record.jobId = m_id;
    record.data = std::move(data);
    record.items = std::move(items);
    record.read = std::move(read);
    m_queuedBytes += size;
    m_queue.push_back(std::move(record));
    if (m_queue.size() >= kMaxQueuedRecords || m_queuedBytes >= kMaxQueuedBytes) return flushLocked();
    return 0;
}

int EvReturnData::dumpBuffer(unsigned long /*reason*/) {
    CHubMutexLock lock(m_mutex);
    return flushLocked();
}

int EvReturnData::end(long long code) {
    CHubMutexLock lock(m_mutex);
    if (m_ended) return -1;
    m_ended = true;
    int rc = flushLocked();
    if (!destinationLocked()) return -1;
    EvReturnRecord record;
    record.kind = EV_RETURN_RECORD_END;
    record.jobId = m_id;
    record.code = code;
    m_destination->deliver(record);
    return rc;
}

EvJobReturnData::EvJobReturnData(unsigned long kind, long long id, const CUxSocket* socket, bool flag,
                                 CZyNetwork* network)
    : EvReturnData(kind, id, socket, flag, network), m_jobReturnValue(0) {}

EvJobReturnData::~EvJobReturnData() = default;

EvRestoreReturn::EvRestoreReturn(long long jobId, int options, bool flag, const CUxSocket* socket,
                                 CZyNetwork* network)
    : EvJobReturnData(kReturnKind, jobId, socket, flag, network),
      m_pendingCount(0),
      m_bytesReturned(0),
      m_options(options),
      m_failed(false) {}

EvRestoreReturn::~EvRestoreReturn() = default;

int EvRestoreReturn::returnItem(unsigned long kind, const std::string& item) {
    return counted(send(kind, item.data(), item.size()), item.size());
}

int EvRestoreReturn::counted(int rc, size_t bytes) {
    if (rc != 0) {
        m_failed.store(true);
        return -1;
    }
    m_pendingCount.fetch_add(1);
    m_bytesReturned.fetch_add(static_cast<long long>(bytes));
    return 0;
}

int EvRestoreReturn::returnXMLItem(std::string& item) {
    return returnItem(EV_RETURN_RECORD_XML_ITEM, item);
}

int EvRestoreReturn::returnXMLItem(std::string&& item, xmlscan::TItems items,
                                   std::shared_ptr<CNMessageBase> read) {
    const size_t bytes = item.size();
    return counted(send(EV_RETURN_RECORD_XML_ITEM, std::move(item), std::move(items), std::move(read)),
                   bytes);
}

int EvRestoreReturn::returnItem_9_0(std::string& item) {
    return returnItem(EV_RETURN_RECORD_ITEM_9_0, item);
}

int EvRestoreReturn::end(long long code) {
    int32_t count = m_pendingCount.load();
    if (count != 0) {
        dumpBuffer(9);
        int32_t copy = count;
        send(EV_RETURN_RECORD_ITEM_COUNT, &copy, sizeof(copy));
    }
    return EvReturnData::end(code);
}
