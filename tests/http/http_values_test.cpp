#include "src/http_work_queue.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace kv {
namespace http {
namespace {

using Values = std::vector<std::string>;

TEST(HttpHeaderTest, SetLeavesOneValueAndAppendAddsAfterIt) {
    Header headers;
    headers.Append("Accept", "a");
    headers.Append("Accept", "b");
    headers.Append("Accept", "c");
    ASSERT_EQ(headers.find("Accept")->second, (Values{"a", "b", "c"}));
    headers.Set("Accept", "d");
    EXPECT_EQ(headers.find("Accept")->second, (Values{"d"}));
    headers.Append("Accept", "e");
    headers.Append("X-One", "1");  // new names start with one value
    headers.Set("X-Two", "2");
    EXPECT_EQ(headers.find("Accept")->second, (Values{"d", "e"}));
    EXPECT_EQ(headers.size(), 3u);
    EXPECT_EQ(headers.find("X-One")->second, (Values{"1"}));
    EXPECT_EQ(headers.find("X-Two")->second, (Values{"2"}));
}

TEST(HttpHeaderTest, NamesAreKeptExactlyAndOrderedByteWise) {
    Header headers;
    headers.Append("content-type", "x");
    headers.Append("Content-Type", "y");
    headers.Append(" Content-Type", "z");
    headers.Append("\xc3\xa9tag", "w");  // a byte above 0x7f sorts after ASCII letters
    std::vector<std::string> names;
    for (const auto& field : headers) names.push_back(field.first);
    EXPECT_EQ(names, (Values{" Content-Type", "Content-Type", "content-type", "\xc3\xa9tag"}));
}

TEST(HttpErrorTest, TrueExactlyWhenTheCodeIsNotOk) {
    EXPECT_FALSE(Error(ErrorCode::Ok));
    EXPECT_FALSE(Error());
    EXPECT_TRUE(Error(ErrorCode::Other));
    EXPECT_TRUE(Error(ErrorCode::BadContentEncoding));
    EXPECT_EQ(Error(ErrorCode::CouldntConnect).Code(), ErrorCode::CouldntConnect);
}

TEST(HttpErrorTest, AsValueGivesTheLoggedNumbers) {
    EXPECT_EQ(AsValue(ErrorCode::OperationTimedout), 12);
    EXPECT_EQ(AsValue(Status{500}), 500);
    EXPECT_EQ(AsValue(Method::HEAD), 4);
}

TEST(HttpErrorTest, ErrorFromCurlFollowsTheCodeTable) {
    const std::vector<std::pair<CURLcode, int>> table = {
        {CURLE_OK, 0},
        {CURLE_UNSUPPORTED_PROTOCOL, 2},
        {CURLE_URL_MALFORMAT, 3},
        {CURLE_COULDNT_RESOLVE_PROXY, 4},
        {CURLE_COULDNT_RESOLVE_HOST, 5},
        {CURLE_COULDNT_CONNECT, 6},
        {CURLE_HTTP2, 7},
        {CURLE_PARTIAL_FILE, 8},
        {CURLE_WRITE_ERROR, 9},
        {CURLE_READ_ERROR, 10},
        {CURLE_OUT_OF_MEMORY, 11},
        {CURLE_OPERATION_TIMEDOUT, 12},
        {CURLE_RANGE_ERROR, 13},
        {CURLE_SSL_CONNECT_ERROR, 14},
        {CURLE_TOO_MANY_REDIRECTS, 15},
        {CURLE_SEND_ERROR, 16},
        {CURLE_RECV_ERROR, 17},
        {CURLE_SSL_CIPHER, 18},
        {CURLE_PEER_FAILED_VERIFICATION, 19},
        {CURLE_BAD_CONTENT_ENCODING, 20},
    };
    for (const auto& row : table) {
        EXPECT_EQ(AsValue(ErrorFromCurl(row.first).Code()), row.second) << "CURLcode " << row.first;
    }
}

TEST(HttpErrorTest, ResultsWithoutARowOfTheirOwnAreOther) {
    for (CURLcode result : {CURLE_GOT_NOTHING, CURLE_FAILED_INIT, CURLE_ABORTED_BY_CALLBACK,
                            CURLE_FILESIZE_EXCEEDED, CURLE_HTTP_RETURNED_ERROR}) {
        EXPECT_EQ(ErrorFromCurl(result).Code(), ErrorCode::Other) << "CURLcode " << result;
    }
}

TEST(HttpRequestTest, ConstructorLeavesHeadersEmptyAndDefaultOptions) {
    Request request("req-1", Method::POST, "http://127.0.0.1:1/x", nullptr);
    EXPECT_EQ(request.id, "req-1");
    EXPECT_EQ(request.method, Method::POST);
    EXPECT_EQ(request.url, "http://127.0.0.1:1/x");
    EXPECT_TRUE(request.headers.empty());
    EXPECT_EQ(request.body, nullptr);
    EXPECT_TRUE(request.options.verifyPeer);
    EXPECT_FALSE(request.options.followRedirects);
    EXPECT_EQ(request.options.connectTimeout, std::chrono::milliseconds(5000));
    EXPECT_EQ(request.options.deadline, kExchangeDeadline);
}

TEST(HttpRequestTest, CopiesShareOneBody) {
    Request original("a", Method::POST, "http://127.0.0.1/", std::make_shared<std::string>("<x/>"));
    Request copy = original;
    copy.body->append("<y/>");
    EXPECT_EQ(*original.body, "<x/><y/>");
    EXPECT_EQ(original.body.get(), copy.body.get());
}

}  // namespace
}  // namespace http
}  // namespace kv
