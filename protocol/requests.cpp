// The request fields, sign strings and documents of requests.h.
#include "protocol/requests.h"

#include <utility>

namespace quillmark {

RequestFields RequestFieldsOf(const Operation& operation, const RequestValues& values) {
  RequestFields fields;
  for (const RequestField& field : operation.requestFields) {
    std::string value = field.value(values);
    if (field.omittedWhenEmpty && value.empty()) continue;
    fields.emplace_back(field.name, std::move(value));
  }
  return fields;
}

std::string RequestSignString(const RequestFields& fields, const std::string& key) {
  std::string text;
  for (const auto& [name, value] : fields) {
    text += name;
    text += '=';
    text += value;
    text += '&';
  }
  return text + "key=" + key;
}

std::string RequestDocument(const RequestFields& fields, const std::string& sign) {
  std::string document = "<xml>";
  for (const auto& [name, value] : fields) {
    document += std::string("<") + name + '>' + value + "</" + name + '>';
  }
  return document + "<sign>" + sign + "</sign></xml>";
}

}  // namespace quillmark
