// The connection log report: the process's socket events, one line each.
#include "ConnectionLog.h"
#include "NetworkReport.h"
#include "SocketFilter.h"
#include "SocketRecord.h"
#include "WideText.h"

namespace sockets {

ConnectionLog& ProcessConnectionLog() {
    static ConnectionLog log;
    return log;
}

}  // namespace sockets

void CNetworkReport::BuildConnectionLog() {
    DeleteAllItems();
    m_hLogRoot = AppendItem(TVI_ROOT, u"Connection Log", kImageRoot);
    SetItemBold(m_hLogRoot);
    m_logShown = 0;
    m_logLines = 0;
    m_logFresh = true;
    UpdateConnectionLog();
    Expand(m_hLogRoot);
}

void CNetworkReport::UpdateConnectionLog() {
    if (m_hLogRoot == nullptr) return;
    const sockets::ConnectionLog& log = sockets::ProcessConnectionLog();
    const std::deque<sockets::Event>& events = log.Events();
    // The number, counted from the log's start, of its oldest event held.
    const std::uint64_t first = log.Added() - events.size();
    if (m_logShown < first) m_logShown = first;
    std::vector<sockets::RecordPtr> added;
    for (std::size_t i = static_cast<std::size_t>(m_logShown - first); i < events.size(); ++i) {
        if (m_filter && !m_filter->Matches(*sockets::EventRecord(events[i]))) continue;
        AppendItem(m_hLogRoot, AnsiToWide(sockets::EventLine(events[i])), kImageValue);
        added.push_back(sockets::EventRecord(events[i]));
        ++m_logLines;
    }
    m_logShown = log.Added();
    // The pane holds no more lines than the log holds events.
    std::size_t dropped = 0;
    while (m_logLines > sockets::ConnectionLog::kCapacity) {
        HTREEITEM oldest = GetChildItem(m_hLogRoot);
        if (oldest == nullptr) break;
        DeleteItem(oldest);
        --m_logLines;
        ++dropped;
    }
    if (m_logFresh || dropped != 0 || !added.empty()) LogLinesChanged(m_logFresh, dropped, added);
    m_logFresh = false;
}
