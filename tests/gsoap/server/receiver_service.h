// gSOAP service definition of the alarm receiver's contract, for soapcpp2 (not compiled
// as C++). Four methods in http://tempuri.org/, each taking requestData and answering
// <M>Result, reached by their WS-Addressing action; WS-ReliableMessaging 2005/02 and
// WS-Addressing 1.0 headers come from gSOAP's own imports, served by its plugins.

#import "soap12.h"
#import "wsrm5.h"
#import "wsa5.h"

//gsoap ns service name:      Receiver
//gsoap ns service type:      IReceiverService
//gsoap ns service style:     document
//gsoap ns service encoding:  literal
//gsoap ns service namespace: http://tempuri.org/
//gsoap ns schema namespace:  http://tempuri.org/
//gsoap ns schema elementForm: qualified

//gsoap ns service method-header-part: SendAlarm wsa5__MessageID
//gsoap ns service method-header-part: SendAlarm wsa5__RelatesTo
//gsoap ns service method-header-part: SendAlarm wsa5__From
//gsoap ns service method-header-part: SendAlarm wsa5__ReplyTo
//gsoap ns service method-header-part: SendAlarm wsa5__FaultTo
//gsoap ns service method-header-part: SendAlarm wsa5__To
//gsoap ns service method-header-part: SendAlarm wsa5__Action
//gsoap ns service method-header-part: SendAlarm wsrm__Sequence
//gsoap ns service method-header-part: SendAlarm wsrm__AckRequested
//gsoap ns service method-header-part: SendAlarm wsrm__SequenceAcknowledgement
//gsoap ns service method-action:        SendAlarm http://tempuri.org/IReceiverServiceResponse/SendAlarm
//gsoap ns service method-output-action: SendAlarm http://tempuri.org/IReceiverServiceResponse/SendAlarmResponse
int ns__SendAlarm(std::string requestData, std::string& SendAlarmResult);

//gsoap ns service method-header-part: SendHeartBeat wsa5__MessageID
//gsoap ns service method-header-part: SendHeartBeat wsa5__RelatesTo
//gsoap ns service method-header-part: SendHeartBeat wsa5__From
//gsoap ns service method-header-part: SendHeartBeat wsa5__ReplyTo
//gsoap ns service method-header-part: SendHeartBeat wsa5__FaultTo
//gsoap ns service method-header-part: SendHeartBeat wsa5__To
//gsoap ns service method-header-part: SendHeartBeat wsa5__Action
//gsoap ns service method-header-part: SendHeartBeat wsrm__Sequence
//gsoap ns service method-header-part: SendHeartBeat wsrm__AckRequested
//gsoap ns service method-header-part: SendHeartBeat wsrm__SequenceAcknowledgement
//gsoap ns service method-action:        SendHeartBeat http://tempuri.org/IReceiverServiceResponse/SendHeartBeat
//gsoap ns service method-output-action: SendHeartBeat http://tempuri.org/IReceiverServiceResponse/SendHeartBeatResponse
int ns__SendHeartBeat(std::string requestData, std::string& SendHeartBeatResult);

//gsoap ns service method-header-part: SendRecorderInfo wsa5__MessageID
//gsoap ns service method-header-part: SendRecorderInfo wsa5__RelatesTo
//gsoap ns service method-header-part: SendRecorderInfo wsa5__From
//gsoap ns service method-header-part: SendRecorderInfo wsa5__ReplyTo
//gsoap ns service method-header-part: SendRecorderInfo wsa5__FaultTo
//gsoap ns service method-header-part: SendRecorderInfo wsa5__To
//gsoap ns service method-header-part: SendRecorderInfo wsa5__Action
//gsoap ns service method-header-part: SendRecorderInfo wsrm__Sequence
//gsoap ns service method-header-part: SendRecorderInfo wsrm__AckRequested
//gsoap ns service method-header-part: SendRecorderInfo wsrm__SequenceAcknowledgement
//gsoap ns service method-action:        SendRecorderInfo http://tempuri.org/IReceiverServiceResponse/SendRecorderInfo
//gsoap ns service method-output-action: SendRecorderInfo http://tempuri.org/IReceiverServiceResponse/SendRecorderInfoResponse
int ns__SendRecorderInfo(std::string requestData, std::string& SendRecorderInfoResult);

//gsoap ns service method-header-part: GetNTPServerInfo wsa5__MessageID
//gsoap ns service method-header-part: GetNTPServerInfo wsa5__RelatesTo
//gsoap ns service method-header-part: GetNTPServerInfo wsa5__From
//gsoap ns service method-header-part: GetNTPServerInfo wsa5__ReplyTo
//gsoap ns service method-header-part: GetNTPServerInfo wsa5__FaultTo
//gsoap ns service method-header-part: GetNTPServerInfo wsa5__To
//gsoap ns service method-header-part: GetNTPServerInfo wsa5__Action
//gsoap ns service method-header-part: GetNTPServerInfo wsrm__Sequence
//gsoap ns service method-header-part: GetNTPServerInfo wsrm__AckRequested
//gsoap ns service method-header-part: GetNTPServerInfo wsrm__SequenceAcknowledgement
//gsoap ns service method-action:        GetNTPServerInfo http://tempuri.org/IReceiverServiceResponse/GetNTPServerInfo
//gsoap ns service method-output-action: GetNTPServerInfo http://tempuri.org/IReceiverServiceResponse/GetNTPServerInfoResponse
int ns__GetNTPServerInfo(std::string requestData, std::string& GetNTPServerInfoResult);
