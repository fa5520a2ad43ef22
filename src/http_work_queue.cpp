#include "src/http_work_queue.h"

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

}  // namespace http
}  // namespace kv
