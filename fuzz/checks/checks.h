#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

/// Property checks run on arbitrary bytes, each by its libFuzzer target and by
/// the regression test that replays fuzz/corpus/<target>/. Each returns 0 when
/// the property holds and throws CheckFailure, naming the broken property,
/// when it does not; no other exception leaves a check.
namespace fuzz_checks {

/// A property of the code under test that an input broke.
class CheckFailure : public std::logic_error {
public:
  using std::logic_error::logic_error;
};

/// The signature every check has.
using Check = int (*)(const std::uint8_t* data, std::size_t size);

/// Throws CheckFailure(what) unless holds.
void require(bool holds, const std::string& what);

/// Throws CheckFailure("<what> at <position>") unless holds; for checks in
/// per-byte loops, which must not build a message while they pass.
void require_at(bool holds, const char* what, std::size_t position);

/// float_text of the first 8 bytes taken as a double: a finite value reads
/// back through strtod to the same bits, with the shortest digits, in fixed
/// form from 1e-4 to below 1e16 (and for zero), else in exponent form; nan,
/// inf and -inf otherwise.
int check_float_text(const std::uint8_t* data, std::size_t size);

/// The discovery document of records built from the bytes parses back (JSON)
/// to the same keys and values in the same order: invalid UTF-8 bytes as
/// U+FFFD each, non-finite floats as null; pure printable ASCII on one line.
int check_discovery_document(const std::uint8_t* data, std::size_t size);

/// Rows built from the bytes are refused (IngressError, buffer unchanged)
/// exactly when a name, the values or the time break the store's rules, and
/// the accepted ones read back to the same table, columns and values.
int check_line_protocol(const std::uint8_t* data, std::size_t size);

/// The bytes as the trapper's whole reply: parse_reply returns exactly for a
/// well-framed "success" answer and otherwise throws ZabbixError with a
/// reason, never anything else.
int check_trapper_reply(const std::uint8_t* data, std::size_t size);

/// The bytes as a store reply: as the /exec body of the column listing, the
/// upkeep's decision follows its "dataset"; as a /write error body with a
/// status, refusal_message gives the documented message and never throws.
int check_store_reply(const std::uint8_t* data, std::size_t size);

/// The bytes as a sender configuration text (raw, or the program's own
/// text around a host and port): Sender::from_conf gives a sender or throws
/// IngressError, nothing else; a plain host and port always give a sender.
int check_ingress_conf(const std::uint8_t* data, std::size_t size);

/// Records built from the bytes, listed: each block has one line per entry,
/// padded by code points to the record's widths, then an empty line; a record
/// without entries throws ListingError and ends print_dict_list there.
int check_record_listing(const std::uint8_t* data, std::size_t size);

} // namespace fuzz_checks
