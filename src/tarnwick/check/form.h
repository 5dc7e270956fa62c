// Form bodies: the fields of a controller request, how a field whose value
// is a reply value (the CID, or an element of a referenced check's result)
// goes into them, and their encoding.
#ifndef TARNWICK_CHECK_FORM_H_
#define TARNWICK_CHECK_FORM_H_

#include <string>
#include <vector>

#include "tarnwick/base/value.h"

namespace tarnwick {

struct FormField {
  std::string name;
  std::string value;
};

// application/x-www-form-urlencoded: fields in order, names and values
// percent-encoded byte by byte (letters, digits and "*-._" kept), a blank as
// "+". The result is sized exactly before it is filled, so no outgrown copy
// of a password is left behind.
std::string encode_form(const std::vector<FormField>& fields);

// Appends to fields the fields that carry value under name:
// - a text as itself; a whole number as its digits ("-0" as "0"); any other
//   number in its report form (2.5, 5.0, 1e+16, inf, nan); true and false as
//   "True" and "False";
// - null as no field at all;
// - a list as one field per item, in order, each item sent by these same
//   rules (so nested lists are flattened and null items left out);
// - a map as one field per key, in order, the key as the value.
// Throws Error(kInvalidValue), naming the field, when a text to be sent is
// not valid UTF-8 (a lone surrogate); fields is then left as it was. Linear
// in the size of value, no recursion.
void append_form_value(std::vector<FormField>& fields, const std::string& name,
                       const Node& value);

}  // namespace tarnwick

#endif  // TARNWICK_CHECK_FORM_H_
