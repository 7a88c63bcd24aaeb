// What a CDR takes from a submit_sm: the addresses, the coding fields and
// whether the message is one part of a concatenated message.
//
// cdrSubmitOf() reads any record with the decoded submit_sm field names
// (source_addr, destination_addr, esm_class, data_coding, registered_delivery,
// short_message, tlvs with tag/length/value), so this library needs no
// dependency on the SMPP codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

namespace quorvex {

struct CDRConcat {
  bool concatenated = false; // one part of a concatenated message
  uint8_t reference = 0;     // reference shared by the parts
  uint8_t total = 0;         // number of parts
  uint8_t part = 0;          // this part's number
};

struct CDRSubmit {
  std::string_view sourceAddr;    // source_addr, borrowed from the record
  std::string_view destAddr;      // destination_addr, borrowed from the record
  uint64_t messageLength = 0;     // short_message length in octets
  uint8_t dataCoding = 0;         // data_coding
  uint8_t esmClass = 0;           // esm_class
  uint8_t registeredDelivery = 0; // registered_delivery
  CDRConcat concat;               // from the user data header, else the sar TLVs
};

// The 8-bit concatenation element (0x00) of the user data header, looked at
// only when esm_class has 0x40 set; elements not wholly inside are ignored.
CDRConcat concatFromUdh(uint8_t esmClass, const uint8_t* message, size_t length);

// Running state of the sar TLV walk.
struct CDRSarState {
  bool any = false;      // at least one TLV was seen
  uint8_t total = 1;     // sar_total_segments
  uint8_t part = 1;      // sar_segment_seqnum
  uint8_t reference = 0; // low 8 bits of sar_msg_ref_num
  void fold(uint32_t tag, uint32_t length, const uint8_t* value, size_t valueSize);
  CDRConcat result() const;
};

template <class Record> CDRSubmit cdrSubmitOf(const Record& r) {
  CDRSubmit submit;
  submit.sourceAddr = r.source_addr;
  submit.destAddr = r.destination_addr;
  submit.messageLength = std::size(r.short_message);
  submit.dataCoding = r.data_coding;
  submit.esmClass = r.esm_class;
  submit.registeredDelivery = r.registered_delivery;
  submit.concat =
      concatFromUdh(r.esm_class, reinterpret_cast<const uint8_t*>(std::data(r.short_message)),
                    std::size(r.short_message));
  if (!submit.concat.concatenated) {
    CDRSarState sar;
    for (const auto& tlv : r.tlvs) {
      sar.fold(tlv.tag, tlv.length, reinterpret_cast<const uint8_t*>(std::data(tlv.value)),
               std::size(tlv.value));
    }
    submit.concat = sar.result();
  }
  return submit;
}

} // namespace quorvex
