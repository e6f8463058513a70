#include "platform/json.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace {
// Deeper than any message of ours; Qt has its own limit, this keeps the copy's recursion short.
constexpr int kMaxDepth = 64;

std::optional<JsonValue> fromQt(const QJsonValue& v, int depth) {
  if (depth > kMaxDepth) return std::nullopt;
  JsonValue out;
  switch (v.type()) {
    case QJsonValue::Bool: out.kind = JsonValue::Kind::Bool, out.boolean = v.toBool(); break;
    case QJsonValue::Double: out.kind = JsonValue::Kind::Number, out.number = v.toDouble(); break;
    case QJsonValue::String: out = JsonValue::of(v.toString().toStdString()); break;
    case QJsonValue::Array:
      out.kind = JsonValue::Kind::Array;
      for (const QJsonValue& item : v.toArray()) {
        auto x = fromQt(item, depth + 1);
        if (!x) return std::nullopt;
        out.items.push_back(std::move(*x));
      }
      break;
    case QJsonValue::Object: {
      out.kind = JsonValue::Kind::Object;
      const QJsonObject o = v.toObject();
      for (auto it = o.begin(); it != o.end(); ++it) {
        auto x = fromQt(it.value(), depth + 1);
        if (!x) return std::nullopt;
        out.members.emplace_back(it.key().toStdString(), std::move(*x));
      }
      break;
    }
    default: break;  // null (undefined does not come from a parse)
  }
  return out;
}

QJsonValue toQt(const JsonValue& v) {
  switch (v.kind) {
    case JsonValue::Kind::Null: return QJsonValue(QJsonValue::Null);
    case JsonValue::Kind::Bool: return QJsonValue(v.boolean);
    case JsonValue::Kind::Number: return QJsonValue(v.number);
    case JsonValue::Kind::String: return QJsonValue(QString::fromStdString(v.text));
    case JsonValue::Kind::Array: {
      QJsonArray a;
      for (const auto& item : v.items) a.append(toQt(item));
      return a;
    }
    case JsonValue::Kind::Object: {
      QJsonObject o;
      for (const auto& [name, item] : v.members) o.insert(QString::fromStdString(name), toQt(item));
      return o;
    }
  }
  return QJsonValue();
}

}  // namespace

JsonValue JsonValue::of(const std::string& s) {
  JsonValue v;
  v.kind = Kind::String;
  v.text = s;
  return v;
}

JsonValue JsonValue::of(bool b) {
  JsonValue v;
  v.kind = Kind::Bool;
  v.boolean = b;
  return v;
}

JsonValue JsonValue::object(std::vector<std::pair<std::string, JsonValue>> members) {
  JsonValue v;
  v.kind = Kind::Object;
  v.members = std::move(members);
  return v;
}

const JsonValue* JsonValue::member(const std::string& name) const {
  for (const auto& [n, v] : members)
    if (n == name) return &v;
  return nullptr;
}

std::string JsonValue::string(const std::string& name) const {
  const JsonValue* v = member(name);
  return v && v->kind == Kind::String ? v->text : std::string();
}

std::optional<JsonValue> ParseJson(const std::string& text) {
  QJsonParseError error;
  QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
  if (error.error != QJsonParseError::NoError || doc.isNull()) return std::nullopt;
  return fromQt(doc.isObject() ? QJsonValue(doc.object()) : QJsonValue(doc.array()), 0);
}

std::string WriteJson(const JsonValue& value) {
  QJsonValue v = toQt(value);
  QJsonDocument doc = v.isArray() ? QJsonDocument(v.toArray()) : QJsonDocument(v.toObject());
  return doc.toJson(QJsonDocument::Compact).toStdString();
}
