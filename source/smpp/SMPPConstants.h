// Wire constants of SMPP 3.4 as this gateway uses them: command ids, the
// status values it sends, the TLV tags it interprets and its size limits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvex::smpp {

// Header: four 32-bit fields in network order.
inline constexpr uint32_t kHeaderLength = 16;
// Largest command_length accepted or sent, header included (0x10400).
inline constexpr uint32_t kMaxCommandLength = 66560;
// Largest body, so that header plus body stays within kMaxCommandLength.
inline constexpr uint32_t kMaxBodyLength = kMaxCommandLength - kHeaderLength;
// Capacity of a session's receive buffer (several PDUs per recv).
inline constexpr uint32_t kReadBufferCapacity = 0x100000;

// Set in the command_id of every response.
inline constexpr uint32_t kResponseBit = 0x80000000;

namespace command {
inline constexpr uint32_t kGenericNack = 0x80000000;
inline constexpr uint32_t kBindReceiver = 0x00000001;
inline constexpr uint32_t kBindReceiverResp = 0x80000001;
inline constexpr uint32_t kBindTransmitter = 0x00000002;
inline constexpr uint32_t kBindTransmitterResp = 0x80000002;
inline constexpr uint32_t kQuerySM = 0x00000003;
inline constexpr uint32_t kQuerySMResp = 0x80000003;
inline constexpr uint32_t kSubmitSM = 0x00000004;
inline constexpr uint32_t kSubmitSMResp = 0x80000004;
inline constexpr uint32_t kDeliverSM = 0x00000005;
inline constexpr uint32_t kDeliverSMResp = 0x80000005;
inline constexpr uint32_t kUnbind = 0x00000006;
inline constexpr uint32_t kUnbindResp = 0x80000006;
inline constexpr uint32_t kReplaceSM = 0x00000007;
inline constexpr uint32_t kCancelSM = 0x00000008;
inline constexpr uint32_t kCancelSMResp = 0x80000008;
inline constexpr uint32_t kBindTransceiver = 0x00000009;
inline constexpr uint32_t kBindTransceiverResp = 0x80000009;
inline constexpr uint32_t kOutbind = 0x0000000B;
inline constexpr uint32_t kEnquireLink = 0x00000015;
inline constexpr uint32_t kEnquireLinkResp = 0x80000015;
inline constexpr uint32_t kSubmitMulti = 0x00000021;
inline constexpr uint32_t kAlertNotification = 0x00000102;
inline constexpr uint32_t kDataSM = 0x00000103;
inline constexpr uint32_t kDataSMResp = 0x80000103;
} // namespace command

namespace status {
inline constexpr uint32_t kOk = 0x00000000;               // ESME_ROK
inline constexpr uint32_t kInvalidCommandId = 0x00000003; // ESME_RINVCMDID
inline constexpr uint32_t kInvalidBindState = 0x00000004; // ESME_RINVBNDSTS
inline constexpr uint32_t kSystemError = 0x00000008;      // ESME_RSYSERR
inline constexpr uint32_t kAlreadyBound = 0x00000005;     // ESME_RALYBND
inline constexpr uint32_t kBindFailed = 0x0000000D;       // ESME_RBINDFAIL
inline constexpr uint32_t kCancelFailed = 0x00000011;     // ESME_RCANCELFAIL
inline constexpr uint32_t kSubmitFailed = 0x00000045;     // ESME_RSUBMITFAIL
inline constexpr uint32_t kThrottled = 0x00000058;        // ESME_RTHROTTLED
inline constexpr uint32_t kInvalidSchedule = 0x00000061;  // ESME_RINVSCHED
inline constexpr uint32_t kInvalidExpiry = 0x00000062;    // ESME_RINVEXPIRY
inline constexpr uint32_t kQueryFailed = 0x00000067;      // ESME_RQUERYFAIL
} // namespace status

namespace tag {
inline constexpr uint32_t kReceiptedMessageId = 0x001E;
inline constexpr uint32_t kSarMsgRefNum = 0x020C;
inline constexpr uint32_t kSarTotalSegments = 0x020E;
inline constexpr uint32_t kScInterfaceVersion = 0x0210;
inline constexpr uint32_t kNetworkErrorCode = 0x0423;
inline constexpr uint32_t kMessageState = 0x0427;
inline constexpr uint32_t kVendorEcho = 0x1801;
} // namespace tag

// C-octet string limits, terminating NUL included.
namespace limit {
inline constexpr size_t kSystemId = 16;
inline constexpr size_t kPassword = 9;
inline constexpr size_t kSystemType = 13;
inline constexpr size_t kServiceType = 6;
inline constexpr size_t kAddress = 21;
inline constexpr size_t kTime = 17;
inline constexpr size_t kMessageId = 65;
} // namespace limit

// Interface versions the bind negotiation knows.
inline constexpr uint8_t kInterfaceVersion33 = 0x33;
inline constexpr uint8_t kInterfaceVersion34 = 0x34;
inline constexpr uint8_t kInterfaceVersion50 = 0x50;

// The system_id this gateway answers binds with.
inline constexpr const char* kGatewaySystemId = "VantorelSMSC";

// Bind states shared by server and client sessions.
enum BindState : int {
  kUnbound = 0,
  kBindRequested = 1,
  kBoundTransceiver = 2,
  kBoundTransmitter = 3,
  kBoundReceiver = 4,
};

} // namespace quorvex::smpp
