#include "src/http_work_queue.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <utility>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

namespace kv {
namespace http {

Error ErrorFromCurl(CURLcode result) {
    switch (result) {
        case CURLE_OK: return Error(ErrorCode::Ok);
        case CURLE_UNSUPPORTED_PROTOCOL: return Error(ErrorCode::UnsupportedProtocol);
        case CURLE_URL_MALFORMAT: return Error(ErrorCode::UrlMalformat);
        case CURLE_COULDNT_RESOLVE_PROXY: return Error(ErrorCode::CouldntResolveProxy);
        case CURLE_COULDNT_RESOLVE_HOST: return Error(ErrorCode::CouldntResolveHost);
        case CURLE_COULDNT_CONNECT: return Error(ErrorCode::CouldntConnect);
        case CURLE_HTTP2: return Error(ErrorCode::Http2);
        case CURLE_PARTIAL_FILE: return Error(ErrorCode::PartialFile);
        case CURLE_WRITE_ERROR: return Error(ErrorCode::WriteError);
        case CURLE_READ_ERROR: return Error(ErrorCode::ReadError);
        case CURLE_OUT_OF_MEMORY: return Error(ErrorCode::OutOfMemory);
        case CURLE_OPERATION_TIMEDOUT: return Error(ErrorCode::OperationTimedout);
        case CURLE_RANGE_ERROR: return Error(ErrorCode::RangeError);
        case CURLE_SSL_CONNECT_ERROR: return Error(ErrorCode::SslConnectError);
        case CURLE_TOO_MANY_REDIRECTS: return Error(ErrorCode::TooManyRedirects);
        case CURLE_SEND_ERROR: return Error(ErrorCode::SendError);
        case CURLE_RECV_ERROR: return Error(ErrorCode::RecvError);
        case CURLE_SSL_CIPHER: return Error(ErrorCode::SslCipher);
        case CURLE_PEER_FAILED_VERIFICATION: return Error(ErrorCode::PeerFailedVerification);
        case CURLE_BAD_CONTENT_ENCODING: return Error(ErrorCode::BadContentEncoding);
        default: return Error(ErrorCode::Other);
    }
}

void Header::Append(const std::string& name, const std::string& value) {
    fields_[name].push_back(value);
}

void Header::Set(const std::string& name, const std::string& value) {
    std::vector<std::string>& values = fields_[name];
    values.clear();
    values.push_back(value);
}

Request::Request(const std::string& id, Method method, const std::string& url,
                 std::shared_ptr<std::string> body)
    : id(id), method(method), url(url), body(std::move(body)) {}

// ---------------------------------------------------------------------------------------
// The transfer engine.
//
// Every object below lives on the io_service thread; only WorkQueue::Post crosses threads,
// and it touches nothing but the io_service's handler queue.

namespace {

struct MultiHandleDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct EasyHandleDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct HeaderListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

using MultiHandle = std::unique_ptr<CURLM, MultiHandleDeleter>;
using EasyHandle = std::unique_ptr<CURL, EasyHandleDeleter>;
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

// libcurl's process-wide state must exist before the first handle; once is enough.
void InitCurlOnce() {
    static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)result;
}

constexpr int kRead = 0;   // index of the read-readiness wait in SocketInterest
constexpr int kWrite = 1;  // index of the write-readiness wait

bool WantsRead(int action) { return action == CURL_POLL_IN || action == CURL_POLL_INOUT; }
bool WantsWrite(int action) { return action == CURL_POLL_OUT || action == CURL_POLL_INOUT; }

}  // namespace

// What libcurl last asked us to watch on one socket. libcurl holds a plain pointer to it
// (curl_multi_assign) from its first report until CURL_POLL_REMOVE; readiness waits hold
// only weak references, so a wait that completes after the release finds it gone.
// `waits` names the readiness wait of each direction that is running (0: none), so that a
// socket never carries two waits of one direction for the same record.
struct SocketInterest : std::enable_shared_from_this<SocketInterest> {
    int action = CURL_POLL_NONE;
    uint64_t waits[2] = {0, 0};
};

// One exchange in flight: owned by the Impl from Impl::Post until it completes.
struct Exchange {
    Exchange(Request request, Callback callback)
        : request(std::move(request)), callback(std::move(callback)) {}

    size_t onRespHeader(const char* data, size_t size);

    Request request;
    Callback callback;
    Response response;
    size_t uploadOffset = 0;  // how much of the body ReadBodyCb has handed out
    std::string origin;       // scheme and authority of the URL: the connection cap's key
    EasyHandle easy;
    HeaderList headerList;  // declared last: freed before the easy handle that uses it
};

// An asio socket that libcurl connects through, tagged with a number that is never
// reused, so that a wait can tell its socket from a later one with the same descriptor.
struct OwnedSocket {
    std::unique_ptr<boost::asio::ip::tcp::socket> socket;
    uint64_t serial = 0;
};

class WorkQueue::Impl {
public:
    Impl(boost::asio::io_service& io_service, long maxConnectionsPerHost);
    ~Impl();

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void Post(Request request, Callback callback);
    void Abandon();

    void AddSock(curl_socket_t descriptor, CURL* easy, int action);
    void SetSock(SocketInterest* record, curl_socket_t descriptor, CURL* easy, int action);
    void RemSock(SocketInterest* record, curl_socket_t descriptor);
    void StartWait(SocketInterest& record, curl_socket_t descriptor, int direction);
    void EventCb(curl_socket_t descriptor, uint64_t serial, int direction, uint64_t wait,
                 const boost::system::error_code& error,
                 const std::weak_ptr<SocketInterest>& weak_record);
    void StartTimer(long timeout_ms);
    void ArmTimer(std::chrono::steady_clock::time_point expiry);
    void OnTimerDue();
    void CheckTransfers();
    void Start(std::unique_ptr<Exchange> exchange);
    void Release(const std::string& origin);
    curl_socket_t OpenSocket(curlsocktype purpose, const curl_sockaddr& address);
    void CloseSocket(curl_socket_t descriptor);

    boost::asio::io_service& io_service;
    const size_t maxPerHost;  // exchanges of one origin in the multi handle at a time
    // libcurl's timer. libcurl moves its deadline with nearly every transfer, and each
    // re-arm of an asio timer is a timerfd_settime system call, so the asio wait is
    // re-armed only when the deadline moves earlier; a wait that expires before the
    // deadline (which has since moved later) re-arms itself for it instead of waking
    // libcurl. A deadline of "now" runs as a posted handler, not through the timer.
    boost::asio::steady_timer timer;
    bool curlTimerSet = false;  // libcurl wants CURL_SOCKET_TIMEOUT at curlDeadline
    std::chrono::steady_clock::time_point curlDeadline;
    bool timerArmed = false;  // an asio wait is running, ending at timerExpiry
    std::chrono::steady_clock::time_point timerExpiry;
    uint64_t timerGeneration = 0;  // names the running wait; older completions do nothing
    bool duePosted = false;        // an immediate OnTimerDue is queued on the io_service
    MultiHandle multi;
    int stillRunning = 0;
    std::map<curl_socket_t, OwnedSocket> sockets;

    // The interest records libcurl currently holds, by descriptor.
    std::map<curl_socket_t, std::shared_ptr<SocketInterest>> interests;
    // Exchanges added to the multi handle, by easy handle.
    std::map<CURL*, std::unique_ptr<Exchange>> exchanges;
    // Exchanges beyond an origin's connection cap wait here, not inside libcurl: libcurl
    // walks its whole pending list for every finished transfer, which turns a burst of
    // thousands into quadratic work. They start in posting order as others finish.
    struct Origin {
        size_t running = 0;  // exchanges of this origin in the multi handle
        std::deque<std::unique_ptr<Exchange>> waiting;
    };
    std::map<std::string, Origin> origins;
    // Easy handles of finished exchanges, reset and ready for the next: a fresh handle
    // costs an allocation of several kilobytes and libcurl's set-up. Kept while exchanges
    // follow one another; emptied once the engine has none left, so that an idle service
    // holds none of their buffers.
    std::vector<EasyHandle> idleEasy;
    uint64_t lastSerial = 0;
    uint64_t lastWait = 0;
    // Handlers queued on the io_service refer to the Impl only through this; it expires
    // when the Impl goes, so a handler that runs later does nothing.
    std::shared_ptr<Impl> self;
};

namespace {

// libcurl calls these through plain function pointers. Nothing may unwind through
// libcurl's C frames, so each one turns an exception (only ever an allocation failure)
// into the answer that fails just the transfer concerned.

int MultiSocketCb(CURL* easy, curl_socket_t descriptor, int what, void* user, void* socket_user) {
    auto* impl = static_cast<WorkQueue::Impl*>(user);
    auto* record = static_cast<SocketInterest*>(socket_user);
    try {
        if (what == CURL_POLL_REMOVE) {
            impl->RemSock(record, descriptor);
        } else if (record != nullptr) {
            impl->SetSock(record, descriptor, easy, what);
        } else {
            impl->AddSock(descriptor, easy, what);
        }
    } catch (...) {
    }
    return 0;
}

int MultiTimerCb(CURLM* /*multi*/, long timeout_ms, void* user) {
    try {
        static_cast<WorkQueue::Impl*>(user)->StartTimer(timeout_ms);
    } catch (...) {
    }
    return 0;
}

curl_socket_t OpenSocketCb(void* user, curlsocktype purpose, curl_sockaddr* address) {
    try {
        return static_cast<WorkQueue::Impl*>(user)->OpenSocket(purpose, *address);
    } catch (...) {
        return CURL_SOCKET_BAD;
    }
}

int CloseSocketCb(void* user, curl_socket_t descriptor) {
    static_cast<WorkQueue::Impl*>(user)->CloseSocket(descriptor);
    return 0;
}

size_t WriteCb(char* data, size_t size, size_t count, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    const size_t n = size * count;
    if (n == 0) return 0;
    std::vector<char>& body = exchange->response.body;
    // Returning less than n makes libcurl end the transfer with CURLE_WRITE_ERROR.
    if (n > kMaxResponseBodyBytes - body.size()) return 0;
    try {
        body.insert(body.end(), data, data + n);
    } catch (...) {
        return 0;
    }
    return n;
}

size_t ResponseHeaderCb(char* data, size_t size, size_t count, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    try {
        return exchange->onRespHeader(data, size * count);
    } catch (...) {
        return 0;
    }
}

// Upload data for a PUT, and for a POST without a body: the request's body, never
// libcurl's default source, the process's standard input.
size_t ReadBodyCb(char* buffer, size_t size, size_t count, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    const std::string* body = exchange->request.body.get();
    if (body == nullptr || exchange->uploadOffset >= body->size()) return 0;
    const size_t n = std::min(size * count, body->size() - exchange->uploadOffset);
    std::memcpy(buffer, body->data() + exchange->uploadOffset, n);
    exchange->uploadOffset += n;
    return n;
}

void SetCurlMethod(CURL* easy, Method method) {
    switch (method) {
        case Method::GET: curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L); break;
        case Method::POST: curl_easy_setopt(easy, CURLOPT_POST, 1L); break;
        case Method::PUT: curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L); break;
        case Method::DELETE: curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "DELETE"); break;
        case Method::HEAD: curl_easy_setopt(easy, CURLOPT_NOBODY, 1L); break;
    }
}

// Builds the request header lines: one per name, its values joined by ",".
HeaderList MakeHeaderList(const Header& headers) {
    HeaderList list;
    for (const auto& field : headers) {
        const std::string line = field.first + ": " + boost::algorithm::join(field.second, ",");
        curl_slist* extended = curl_slist_append(list.get(), line.c_str());
        if (extended == nullptr) break;  // out of memory: send what we have
        list.release();
        list.reset(extended);
    }
    return list;
}

// Sets the easy handle's options; the order matters to nobody but is kept stable.
void SetUpExchange(Exchange& exchange) {
    CURL* easy = exchange.easy.get();
    const Request& request = exchange.request;
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &exchange);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &WriteCb);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &exchange);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &ResponseHeaderCb);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &exchange);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &ReadBodyCb);
    curl_easy_setopt(easy, CURLOPT_READDATA, &exchange);
    SetCurlMethod(easy, request.method);
    if (request.method == Method::PUT) {
        const curl_off_t size = request.body ? static_cast<curl_off_t>(request.body->size()) : 0;
        curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, size);
    }
    // A PUT uploads through ReadBodyCb; POSTFIELDS would turn it into an empty POST body.
    if (request.body && !request.body->empty() && request.method != Method::PUT) {
        // Not copied: the Exchange keeps the shared body alive until the transfer ends.
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body->c_str());
    }
    if (!request.headers.empty()) {
        exchange.headerList = MakeHeaderList(request.headers);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, exchange.headerList.get());
    }
    if (!request.options.verifyPeer) curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
    if (request.options.followRedirects) curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    // A receiver that stops sending is cut after 3 s below 10 bytes per second; one that
    // trickles just above that is cut by the overall deadline. libcurl counts the deadline
    // from the moment the handle joins the multi handle, which is when Start runs. A
    // patient request is cut by the deadline alone.
    if (!request.options.patient) {
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, 3L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 10L);
    }
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(request.options.connectTimeout.count()));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(request.options.deadline.count()));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
}

}  // namespace

void detail::AppendResponseHeaderLine(const char* line, size_t size, Header& headers) {
    const char* end = line + size;
    const char* colon = std::find(line, end, ':');
    if (colon == end) return;  // the status line or the blank line ending the block
    std::string value(colon + 1, end);
    boost::algorithm::trim_if(value, boost::algorithm::is_any_of(" \t\r\n\v\f"));
    headers.Append(std::string(line, colon), value);
}

size_t Exchange::onRespHeader(const char* data, size_t size) {
    detail::AppendResponseHeaderLine(data, size, response.headers);
    return size;
}

WorkQueue::Impl::Impl(boost::asio::io_service& io_service, long maxConnectionsPerHost)
    : io_service(io_service),
      maxPerHost(static_cast<size_t>(std::max(1L, maxConnectionsPerHost))),
      timer(io_service),
      self(this, [](Impl*) {}) {
    InitCurlOnce();
    multi.reset(curl_multi_init());
    curl_multi_setopt(multi.get(), CURLMOPT_SOCKETFUNCTION, &MultiSocketCb);
    curl_multi_setopt(multi.get(), CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi.get(), CURLMOPT_TIMERFUNCTION, &MultiTimerCb);
    curl_multi_setopt(multi.get(), CURLMOPT_TIMERDATA, this);
    curl_multi_setopt(multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(maxPerHost));
}

WorkQueue::Impl::~Impl() {
    // From here on, handlers still queued on the io_service do nothing.
    self.reset();
    Abandon();
    // `multi` reads as empty while libcurl closes its cached connections.
    curl_multi_cleanup(multi.release());
    sockets.clear();
    interests.clear();
    timer.cancel();
}

// Abandoned exchanges are detached first, so that the multi handle's cleanup does not
// touch easy handles that are already gone; their callbacks are never called.
void WorkQueue::Impl::Abandon() {
    for (auto& entry : exchanges) curl_multi_remove_handle(multi.get(), entry.first);
    exchanges.clear();
    origins.clear();
    idleEasy.clear();
}

namespace {

// "http://host:port" of "http://host:port/path?query": what libcurl's per-host cap counts.
std::string OriginOf(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t from = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t end = url.find_first_of("/?#", from);
    return url.substr(0, end);
}

}  // namespace

void WorkQueue::Impl::Post(Request request, Callback callback) {
    auto exchange = std::make_unique<Exchange>(std::move(request), std::move(callback));
    exchange->origin = OriginOf(exchange->request.url);
    Origin& origin = origins[exchange->origin];
    if (origin.running >= maxPerHost) {
        origin.waiting.push_back(std::move(exchange));
        return;
    }
    Start(std::move(exchange));
}

void WorkQueue::Impl::Start(std::unique_ptr<Exchange> exchange) {
    if (idleEasy.empty()) {
        exchange->easy.reset(curl_easy_init());
    } else {
        exchange->easy = std::move(idleEasy.back());
        idleEasy.pop_back();
    }
    CURL* easy = exchange->easy.get();
    if (easy != nullptr) {
        SetUpExchange(*exchange);
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &OpenSocketCb);
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this);
        curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &CloseSocketCb);
        curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
        const std::string origin = exchange->origin;
        exchanges.emplace(easy, std::move(exchange));
        ++origins[origin].running;
        if (curl_multi_add_handle(multi.get(), easy) == CURLM_OK) return;
        auto it = exchanges.find(easy);
        exchange = std::move(it->second);
        exchanges.erase(it);
        --origins[origin].running;
    }
    // Never started, so it would never complete: tell the caller at once.
    if (exchange->callback) exchange->callback(exchange->request, exchange->response, Error(ErrorCode::Other));
}

void WorkQueue::Impl::AddSock(curl_socket_t descriptor, CURL* easy, int action) {
    if (!multi) return;
    auto record = std::make_shared<SocketInterest>();
    interests[descriptor] = record;
    SetSock(record.get(), descriptor, easy, action);
    curl_multi_assign(multi.get(), descriptor, record.get());
}

void WorkQueue::Impl::SetSock(SocketInterest* record, curl_socket_t descriptor, CURL* /*easy*/,
                              int action) {
    if (sockets.find(descriptor) == sockets.end()) return;
    record->action = action;
    // A wait already running for a direction goes on serving it.
    if (WantsRead(action) && record->waits[kRead] == 0) StartWait(*record, descriptor, kRead);
    if (WantsWrite(action) && record->waits[kWrite] == 0) StartWait(*record, descriptor, kWrite);
}

void WorkQueue::Impl::RemSock(SocketInterest* record, curl_socket_t descriptor) {
    if (record != nullptr) {
        auto it = interests.find(descriptor);
        if (it != interests.end() && it->second.get() == record) interests.erase(it);
    }
    // The socket itself stays: libcurl may keep the connection and closes it later.
    if (multi) curl_multi_assign(multi.get(), descriptor, nullptr);
}

void WorkQueue::Impl::StartWait(SocketInterest& record, curl_socket_t descriptor, int direction) {
    auto it = sockets.find(descriptor);
    if (it == sockets.end()) return;
    const uint64_t serial = it->second.serial;
    const uint64_t wait = ++lastWait;
    record.waits[direction] = wait;
    std::weak_ptr<Impl> target = self;
    std::weak_ptr<SocketInterest> weak_record = record.weak_from_this();
    auto on_ready = [target, descriptor, serial, direction, wait,
                     weak_record](const boost::system::error_code& error) {
        if (auto impl = target.lock()) impl->EventCb(descriptor, serial, direction, wait, error, weak_record);
    };
    // A readiness wait transfers nothing; libcurl does its own reading and writing.
    it->second.socket->async_wait(direction == kRead ? boost::asio::ip::tcp::socket::wait_read
                                                     : boost::asio::ip::tcp::socket::wait_write,
                                  on_ready);
}

void WorkQueue::Impl::EventCb(curl_socket_t descriptor, uint64_t serial, int direction, uint64_t wait,
                              const boost::system::error_code& error,
                              const std::weak_ptr<SocketInterest>& weak_record) {
    std::shared_ptr<SocketInterest> record = weak_record.lock();
    if (!record || record->waits[direction] != wait) return;  // released, or superseded
    record->waits[direction] = 0;
    auto it = sockets.find(descriptor);
    if (it == sockets.end() || it->second.serial != serial) return;  // closed, maybe reused
    const int action = direction == kRead ? CURL_POLL_IN : CURL_POLL_OUT;
    const bool wanted = direction == kRead ? WantsRead(record->action) : WantsWrite(record->action);
    if (!wanted) return;  // libcurl lost interest; SetSock starts a new wait if it asks again

    curl_multi_socket_action(multi.get(), descriptor, error ? CURL_CSELECT_ERR : action, &stillRunning);
    CheckTransfers();
    // stillRunning was counted before CheckTransfers started exchanges that waited for a
    // connection slot; libcurl has set the timer that starts those. Only a multi handle
    // left with no exchange at all has no use for the timer.
    if (stillRunning <= 0 && exchanges.empty()) {
        curlTimerSet = false;
        if (timerArmed) {
            timerArmed = false;
            ++timerGeneration;
            timer.cancel();
        }
    }

    if (error || record->waits[direction] != 0) return;
    auto interest = interests.find(descriptor);
    if (interest == interests.end() || interest->second != record) return;  // released meanwhile
    it = sockets.find(descriptor);
    if (it == sockets.end() || it->second.serial != serial) return;
    const bool still_wanted = direction == kRead ? WantsRead(record->action) : WantsWrite(record->action);
    if (still_wanted) StartWait(*record, descriptor, direction);
}

void WorkQueue::Impl::StartTimer(long timeout_ms) {
    if (timeout_ms < 0) {
        // A wait still running finds no deadline and ends without waking libcurl.
        curlTimerSet = false;
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    curlTimerSet = true;
    curlDeadline = now + std::chrono::milliseconds(timeout_ms);
    if (timeout_ms == 0) {
        // Even a timeout of 0 runs from the io_service, never from inside libcurl.
        if (duePosted) return;
        duePosted = true;
        std::weak_ptr<Impl> target = self;
        boost::asio::post(io_service, [target] {
            if (auto impl = target.lock()) {
                impl->duePosted = false;
                impl->OnTimerDue();
            }
        });
        return;
    }
    if (timerArmed && timerExpiry <= curlDeadline) return;  // wakes early, then re-checks
    ArmTimer(curlDeadline);
}

void WorkQueue::Impl::ArmTimer(std::chrono::steady_clock::time_point expiry) {
    timer.expires_at(expiry);
    timerArmed = true;
    timerExpiry = expiry;
    const uint64_t generation = ++timerGeneration;
    std::weak_ptr<Impl> target = self;
    timer.async_wait([target, generation](const boost::system::error_code& error) {
        if (error) return;  // cancelled
        auto impl = target.lock();
        if (!impl || impl->timerGeneration != generation) return;  // superseded
        impl->timerArmed = false;
        impl->OnTimerDue();
    });
}

void WorkQueue::Impl::OnTimerDue() {
    if (!curlTimerSet || !multi) return;
    if (std::chrono::steady_clock::now() < curlDeadline) {
        // The deadline moved later after this wait began.
        if (!timerArmed || timerExpiry > curlDeadline) ArmTimer(curlDeadline);
        return;
    }
    // Cleared first: libcurl sets its next deadline from inside the call.
    curlTimerSet = false;
    curl_multi_socket_action(multi.get(), CURL_SOCKET_TIMEOUT, 0, &stillRunning);
    CheckTransfers();
}

void WorkQueue::Impl::CheckTransfers() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        CURL* easy = message->easy_handle;
        const CURLcode result = message->data.result;
        auto it = exchanges.find(easy);
        if (it == exchanges.end()) {
            curl_multi_remove_handle(multi.get(), easy);
            continue;
        }
        // Taken out of the engine before the callback runs, so that nothing leaks and
        // libcurl can hand the connection on even if the callback throws.
        std::unique_ptr<Exchange> exchange = std::move(it->second);
        exchanges.erase(it);
        const Error error = ErrorFromCurl(result);
        long code = 0;
        double connect = 0.0;
        double start_transfer = 0.0;
        double total = 0.0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
        curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME, &connect);
        curl_easy_getinfo(easy, CURLINFO_STARTTRANSFER_TIME, &start_transfer);
        curl_easy_getinfo(easy, CURLINFO_TOTAL_TIME, &total);
        Response& response = exchange->response;
        response.status = static_cast<Status>(code);
        response.connectTime = std::chrono::duration<double>(connect);
        response.startTransferTime = std::chrono::duration<double>(start_transfer);
        response.totalTime = std::chrono::duration<double>(total);
        curl_multi_remove_handle(multi.get(), easy);
        // Back to libcurl's defaults: no option of this exchange (URL, headers, body,
        // TLS verification, this Exchange as its user data) carries over to the next.
        curl_easy_reset(easy);
        if (idleEasy.size() < maxPerHost) idleEasy.push_back(std::move(exchange->easy));
        Release(exchange->origin);
        if (exchange->callback) exchange->callback(exchange->request, response, error);
    }
    if (exchanges.empty() && origins.empty()) idleEasy.clear();
}

// One exchange of `origin` has left the multi handle: the next waiting one takes its place.
void WorkQueue::Impl::Release(const std::string& origin) {
    auto it = origins.find(origin);
    if (it == origins.end()) return;
    if (it->second.running > 0) --it->second.running;
    while (it->second.running < maxPerHost && !it->second.waiting.empty()) {
        std::unique_ptr<Exchange> next = std::move(it->second.waiting.front());
        it->second.waiting.pop_front();
        Start(std::move(next));
        it = origins.find(origin);  // a start that failed at once ran a callback
        if (it == origins.end()) return;
    }
    if (it->second.running == 0 && it->second.waiting.empty()) origins.erase(it);
}

curl_socket_t WorkQueue::Impl::OpenSocket(curlsocktype purpose, const curl_sockaddr& address) {
    if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKET_BAD;
    auto socket = std::make_unique<boost::asio::ip::tcp::socket>(io_service);
    boost::system::error_code error;
    socket->open(address.family == AF_INET6 ? boost::asio::ip::tcp::v6() : boost::asio::ip::tcp::v4(),
                 error);
    if (error) return CURL_SOCKET_BAD;
    const curl_socket_t descriptor = socket->native_handle();
    OwnedSocket& entry = sockets[descriptor];
    if (entry.socket) {
        // Only if the old descriptor was closed behind our back: let go of it without
        // closing, since the number now belongs to the new socket.
        boost::system::error_code ignored;
        entry.socket->release(ignored);
    }
    entry = OwnedSocket{std::move(socket), ++lastSerial};
    return descriptor;
}

void WorkQueue::Impl::CloseSocket(curl_socket_t descriptor) {
    // Destroying the asio socket closes the descriptor and aborts its pending waits.
    sockets.erase(descriptor);
}

WorkQueue::WorkQueue(boost::asio::io_service& io_service, long maxConnectionsPerHost)
    : impl_(std::make_unique<Impl>(io_service, maxConnectionsPerHost)) {}

WorkQueue::~WorkQueue() = default;

void WorkQueue::Abandon() { impl_->Abandon(); }

void WorkQueue::Post(Request request, Callback callback) {
    std::weak_ptr<Impl> target = impl_->self;
    boost::asio::post(impl_->io_service,
                      [target, request = std::move(request), callback = std::move(callback)]() mutable {
                          if (auto impl = target.lock()) impl->Post(std::move(request), std::move(callback));
                      });
}

}  // namespace http
}  // namespace kv
