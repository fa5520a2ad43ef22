// wardex-gsoap-receiver: a third-party alarm receiver for the tests, built on gSOAP's
// engine with its WS-Addressing (wsaapi) and WS-ReliableMessaging 2005/02 (wsrmapi)
// plugins; every byte it reads or writes is gSOAP's. It serves the four methods of the
// receiver's contract (receiver_service.h), records each delivered payload as one line
// "<method>\t<requestData>" in the record file, and answers in one of gSOAP's output
// styles:
//
//   --style default | defaultns | canonical | both   (prefixes on the envelope;
//           SOAP_XML_DEFAULTNS; SOAP_XML_CANONICAL; both flags)
//   --keep-alive on | off    HTTP keep-alive (SOAP_IO_KEEPALIVE)
//   --record FILE            where delivered payloads go (required)
//   --lifetime S             exit by itself after S seconds (default 300)
//
// It listens only on 127.0.0.1, on a free port, and prints
// "listening http://127.0.0.1:P/WXAlarmReceiver/Receiver.svc" once ready. Requests are
// parsed with SOAP_XML_STRICT, so a request gSOAP would not validate is refused with a
// fault. One thread per connection; it stops on SIGTERM, SIGINT or the end of its lifetime.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "soapH.h"
#include "Receiver.nsmap"
#include "plugin/wsaapi.h"
#include "plugin/wsrmapi.h"

namespace {

constexpr char kNtpResult[] =
    "{\"NTPServerIP\":\"127.0.0.1\",\"NTPServerPort\":\"123\",\"TimeZone\":\"UTC\",\"UpdateInterval\":\"3600\"}";
constexpr char kActionPrefix[] = "http://tempuri.org/IReceiverServiceResponse/";

std::atomic<bool> g_stop{false};
std::mutex g_record_mutex;
std::ofstream g_record;

void OnSignal(int) { g_stop = true; }

// The body of every method: the WS-RM checks, the record, the answer.
int Serve(struct soap* soap, const char* method, const std::string& request_data, std::string& result) {
    if (soap_wsrm_check(soap)) return soap->error;
    {
        std::lock_guard<std::mutex> lock(g_record_mutex);
        g_record << method << '\t' << request_data << '\n' << std::flush;
    }
    result = std::strcmp(method, "GetNTPServerInfo") == 0 ? kNtpResult : "OK";
    const std::string action = std::string(kActionPrefix) + method + "Response";
    return soap_wsrm_reply(soap, nullptr, action.c_str());
}

bool ParseFlags(int argc, char** argv, soap_mode& mode, std::string& record, long& lifetime) {
    mode = SOAP_XML_STRICT;
    std::string style = "default", keep_alive = "off";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--style") {
            style = value;
        } else if (name == "--keep-alive") {
            keep_alive = value;
        } else if (name == "--record") {
            record = value;
        } else if (name == "--lifetime") {
            lifetime = std::atol(value.c_str());
        } else {
            return false;
        }
    }
    if ((argc - 1) % 2 != 0 || record.empty()) return false;
    if (style == "defaultns") {
        mode |= SOAP_XML_DEFAULTNS;
    } else if (style == "canonical") {
        mode |= SOAP_XML_CANONICAL;
    } else if (style == "both") {
        mode |= SOAP_XML_DEFAULTNS | SOAP_XML_CANONICAL;
    } else if (style != "default") {
        return false;
    }
    if (keep_alive == "on") {
        mode |= SOAP_IO_KEEPALIVE;
    } else if (keep_alive != "off") {
        return false;
    }
    return true;
}

}  // namespace

int ns__SendAlarm(struct soap* soap, std::string request_data, std::string& result) {
    return Serve(soap, "SendAlarm", request_data, result);
}
int ns__SendHeartBeat(struct soap* soap, std::string request_data, std::string& result) {
    return Serve(soap, "SendHeartBeat", request_data, result);
}
int ns__SendRecorderInfo(struct soap* soap, std::string request_data, std::string& result) {
    return Serve(soap, "SendRecorderInfo", request_data, result);
}
int ns__GetNTPServerInfo(struct soap* soap, std::string request_data, std::string& result) {
    return Serve(soap, "GetNTPServerInfo", request_data, result);
}

// Faults relayed to this endpoint as one-way messages: the service never sends any.
int SOAP_ENV__Fault(struct soap* soap, char*, char*, char*, struct SOAP_ENV__Detail*, struct SOAP_ENV__Code*,
                    struct SOAP_ENV__Reason*, char*, char*, struct SOAP_ENV__Detail*) {
    return soap_send_empty_response(soap, SOAP_OK);
}

int main(int argc, char** argv) {
    soap_mode mode = 0;
    std::string record;
    long lifetime = 300;
    if (!ParseFlags(argc, argv, mode, record, lifetime)) {
        std::cerr << "usage: wardex-gsoap-receiver --record FILE [--style default|defaultns|canonical|both]"
                     " [--keep-alive on|off] [--lifetime S]\n";
        return 2;
    }
    g_record.open(record, std::ios::out | std::ios::app);
    if (!g_record) {
        std::cerr << "wardex-gsoap-receiver: cannot open '" << record << "'\n";
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGTERM, OnSignal);
    ::signal(SIGINT, OnSignal);

    struct soap* soap = soap_new1(mode);
    soap_register_plugin(soap, soap_wsa);
    soap_register_plugin(soap, soap_wsrm);
    soap->bind_flags = SO_REUSEADDR;
    soap->accept_timeout = 1;  // seconds; the loop looks at the stop flag between accepts
    soap->recv_timeout = 5;    // an idle kept-alive connection ends after this
    soap->send_timeout = 5;
    if (!soap_valid_socket(soap_bind(soap, "127.0.0.1", 0, 100))) {
        soap_print_fault(soap, stderr);
        return 1;
    }
    struct sockaddr_in bound {};
    socklen_t size = sizeof(bound);
    ::getsockname(soap->master, reinterpret_cast<struct sockaddr*>(&bound), &size);
    std::cout << "listening http://127.0.0.1:" << ntohs(bound.sin_port) << "/WXAlarmReceiver/Receiver.svc"
              << std::endl;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(lifetime);
    while (!g_stop && std::chrono::steady_clock::now() < deadline) {
        if (!soap_valid_socket(soap_accept(soap))) {
            if (soap->errnum != 0) soap_print_fault(soap, stderr);
            continue;  // timeout: look at the stop flag again
        }
        struct soap* connection = soap_copy(soap);
        if (connection == nullptr) {
            soap_force_closesock(soap);
            continue;
        }
        std::thread([connection] {
            if (soap_serve(connection) != SOAP_OK && connection->error != SOAP_EOF) {
                soap_print_fault(connection, stderr);
            }
            soap_destroy(connection);
            soap_end(connection);
            soap_free(connection);
        }).detach();
    }
    // Connections still being served end with the process.
    std::fflush(stderr);
    std::_Exit(0);
}
