#include "collection/collection_meta.h"

#include <array>
#include <span>
#include <vector>

#include "payload/json_text.h"
#include "str_cat.h"

namespace sorvel {

namespace {

constexpr std::array<std::string_view, kIndexTypeCount> kIndexTypeJsonNames = {
    "flat",      "hnsw",      "quantized_flat", "ivf",  "ivf_pq",
    "fp16_flat", "mmap_flat", "binary_flat",    "faiss"};
constexpr std::array<std::string_view, kIndexTypeCount> kIndexTypeDebugNames = {
    "Flat", "Hnsw", "QuantizedFlat", "Ivf", "IvfPq", "Fp16Flat", "MmapFlat", "BinaryFlat", "Faiss"};
constexpr std::array<std::string_view, kMetricCount> kMetricNames = {"l2", "cosine", "dot_product"};

// ---- Writing ----

class PrettyWriter {
 public:
  void open() {
    out_.push_back('{');
    first_ = true;
    ++level_;
  }
  void close() {
    --level_;
    out_.push_back('\n');
    indent();
    out_.push_back('}');
    first_ = false;
  }
  void key(std::string_view name) {
    if (!first_) out_.push_back(',');
    out_.push_back('\n');
    indent();
    append_json_string(out_, name);
    out_ += ": ";
    first_ = false;
  }
  void member(std::string_view name, std::uint64_t value) {
    key(name);
    out_ += str_cat(value);
  }
  void member(std::string_view name, std::string_view text) {
    key(name);
    append_json_string(out_, text);
  }
  void member(std::string_view name, const HnswConfig& c) {
    key(name);
    open();
    member("ef_construction", c.ef_construction);
    member("ef_search", c.ef_search);
    member("m", c.m);
    close();
  }
  void member(std::string_view name, const PqConfig& c) {
    key(name);
    open();
    member("m", c.m);
    member("k_sub", c.k_sub);
    member("max_iter", c.max_iter);
    close();
  }
  void ivf_members(std::uint64_t n_lists, std::uint64_t nprobe, std::uint64_t train_size,
                   std::uint64_t max_iter) {
    member("n_lists", n_lists);
    member("nprobe", nprobe);
    member("train_size", train_size);
    member("max_iter", max_iter);
  }
  std::string take() { return std::move(out_); }

 private:
  void indent() { out_.append(2 * level_, ' '); }

  std::string out_;
  std::size_t level_ = 0;
  bool first_ = true;
};

// ---- Reading ----

// What a value position accepts.
enum class Slot : std::uint8_t {
  Ignore,  // an unknown member: any well-formed value
  Text,
  OptText,
  U64,
  OptU64,
  MetricName,
  IndexTypeName,
  Hnsw,
  OptHnsw,
  OptIvf,
  OptIvfPq,
  Pq,
  Meta,
  Unit,  // the value of an enumeration written as {"name": null}
};

std::string_view expected_text(Slot slot) {
  switch (slot) {
    case Slot::Text:
    case Slot::OptText:
      return "a string";
    case Slot::U64:
    case Slot::OptU64:
      return "usize";
    case Slot::Hnsw:
    case Slot::OptHnsw:
      return "struct HnswConfig";
    case Slot::OptIvf:
      return "struct IvfConfig";
    case Slot::OptIvfPq:
      return "struct IvfPqConfig";
    case Slot::Pq:
      return "struct PqConfig";
    case Slot::Meta:
      return "struct CollectionMeta";
    case Slot::Unit:
      return "unit";
    default:
      return "";
  }
}

bool is_optional(Slot slot) {
  return slot == Slot::OptText || slot == Slot::OptU64 || slot == Slot::OptHnsw ||
         slot == Slot::OptIvf || slot == Slot::OptIvfPq;
}

bool is_enum(Slot slot) { return slot == Slot::MetricName || slot == Slot::IndexTypeName; }

bool is_struct(Slot slot) {
  return slot == Slot::Hnsw || slot == Slot::OptHnsw || slot == Slot::OptIvf ||
         slot == Slot::OptIvfPq || slot == Slot::Pq || slot == Slot::Meta;
}

struct Field {
  std::string_view name;
  Slot slot;
};

enum class Record : std::uint8_t { Meta, Hnsw, Ivf, IvfPq, Pq };

constexpr Field kMetaFields[] = {
    {"name", Slot::Text},
    {"dimensions", Slot::U64},
    {"metric", Slot::MetricName},
    {"index_type", Slot::IndexTypeName},
    {"hnsw_config", Slot::OptHnsw},
    {"wal_compact_threshold", Slot::U64},
    {"auto_promote_threshold", Slot::OptU64},
    {"promotion_hnsw_config", Slot::OptHnsw},
    {"embedding_model", Slot::OptText},
    {"ivf_config", Slot::OptIvf},
    {"ivf_pq_config", Slot::OptIvfPq},
    {"faiss_factory", Slot::OptText},
};
constexpr Field kHnswFields[] = {
    {"ef_construction", Slot::U64}, {"ef_search", Slot::U64}, {"m", Slot::U64}};
constexpr Field kIvfFields[] = {{"n_lists", Slot::U64},
                                {"nprobe", Slot::U64},
                                {"train_size", Slot::U64},
                                {"max_iter", Slot::U64}};
constexpr Field kIvfPqFields[] = {{"n_lists", Slot::U64},
                                  {"nprobe", Slot::U64},
                                  {"train_size", Slot::U64},
                                  {"max_iter", Slot::U64},
                                  {"pq", Slot::Pq}};
constexpr Field kPqFields[] = {{"m", Slot::U64}, {"k_sub", Slot::U64}, {"max_iter", Slot::U64}};

struct RecordInfo {
  std::string_view name;
  std::span<const Field> fields;
  std::size_t required;  // the leading fields that must be present
};

RecordInfo record_info(Record r) {
  switch (r) {
    case Record::Meta:
      return {"CollectionMeta", kMetaFields, 4};
    case Record::Hnsw:
      return {"HnswConfig", kHnswFields, 3};
    case Record::Ivf:
      return {"IvfConfig", kIvfFields, 4};
    case Record::IvfPq:
      return {"IvfPqConfig", kIvfPqFields, 5};
    case Record::Pq:
      return {"PqConfig", kPqFields, 3};
  }
  return {};
}

Record record_of(Slot slot) {
  switch (slot) {
    case Slot::Hnsw:
    case Slot::OptHnsw:
      return Record::Hnsw;
    case Slot::OptIvf:
      return Record::Ivf;
    case Slot::OptIvfPq:
      return Record::IvfPq;
    case Slot::Pq:
      return Record::Pq;
    default:
      return Record::Meta;
  }
}

std::string unknown_variant(std::string_view name, std::span<const std::string_view> names) {
  std::string text = str_cat("unknown variant `", name, "`, expected one of ");
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += ", ";
    text += str_cat("`", names[i], "`");
  }
  return text;
}

// Turns the events of a "meta.json" text into a CollectionMeta, reporting each broken rule at the
// point a strict streaming reader meets it.
class MetaReader final : public JsonEventSink {
 public:
  explicit MetaReader(std::string_view text) : text_(text) {}

  CollectionMeta take() { return std::move(result_); }

  bool null_value(std::size_t begin, std::size_t end) override {
    const Slot slot = current_slot();
    if (slot == Slot::Ignore) return value_done(end);
    if (slot == Slot::Unit) return value_done(end);
    if (is_optional(slot)) {
      mark_present();
      return value_done(end);
    }
    if (is_enum(slot)) return fail_at("expected value", begin + 1);
    return fail_at(str_cat("invalid type: unit value, expected ", expected_text(slot)), end);
  }

  bool bool_value(bool value, std::size_t begin, std::size_t end) override {
    const Slot slot = current_slot();
    if (slot == Slot::Ignore) return value_done(end);
    if (is_enum(slot)) return fail_at("expected value", begin + 1);
    return fail_at(str_cat("invalid type: boolean `", value ? "true" : "false", "`, expected ",
                           expected_text(slot)),
                   end);
  }

  bool number_value(std::string_view raw, std::size_t begin, std::size_t end) override {
    const Slot slot = current_slot();
    if (slot == Slot::Ignore) return value_done(end);
    if (is_enum(slot)) return fail_at("expected value", begin + 1);
    const std::optional<JsonNumber> n = classify_json_number(raw);
    if (!n) return fail_at("number out of range", end);
    if (slot == Slot::U64 || slot == Slot::OptU64) {
      switch (n->form) {
        case JsonNumber::Form::Unsigned:
          set_u64(n->u);
          return value_done(end);
        case JsonNumber::Form::Negative:
          return fail_at(str_cat("invalid value: integer `", n->i, "`, expected usize"), end);
        case JsonNumber::Form::Float:
          return fail_at(str_cat("invalid type: ", describe_float(n->f), ", expected usize"), end);
      }
    }
    const std::string found = describe_number(*n);
    return fail_at(str_cat("invalid type: ", found, ", expected ", expected_text(slot)), end);
  }

  bool string_value(std::string_view value, std::size_t end) override {
    const Slot slot = current_slot();
    switch (slot) {
      case Slot::Ignore:
        return value_done(end);
      case Slot::Text:
      case Slot::OptText:
        set_text(std::string(value));
        return value_done(end);
      case Slot::MetricName:
      case Slot::IndexTypeName:
        if (!set_variant(slot, value, end)) return false;
        return value_done(end);
      default:
        return fail_at(
            str_cat("invalid type: ", describe_string(value), ", expected ", expected_text(slot)),
            end);
    }
  }

  bool key(std::string_view name, std::size_t end) override {
    Frame& top = frames_.back();
    switch (top.kind) {
      case Frame::Kind::Ignore:
        return true;
      case Frame::Kind::Enum:
        // {"variant": null}: the key names the variant.
        if (!set_variant(top.enum_slot, name, end)) return false;
        top.enum_state = 1;
        return true;
      case Frame::Kind::Record: {
        const RecordInfo info = record_info(top.record);
        top.field = -1;
        for (std::size_t i = 0; i < info.fields.size(); ++i) {
          if (info.fields[i].name != name) continue;
          if (top.seen & (1u << i)) {
            // Reported where the reader stands after the key and the blanks that follow it.
            return fail_at(str_cat("duplicate field `", name, "`"),
                           skip_json_whitespace(text_, end));
          }
          top.field = static_cast<int>(i);
          break;
        }
        return true;
      }
    }
    return true;
  }

  bool start_object(std::size_t begin) override { return open(begin, true); }
  bool start_array(std::size_t begin) override { return open(begin, false); }

  bool end_object(std::size_t end) override {
    Frame& top = frames_.back();
    if (top.kind == Frame::Kind::Ignore) return close_ignored(end);
    if (top.kind == Frame::Kind::Enum) {
      // An empty object names no variant.
      if (top.enum_state == 0) return fail_at("expected value", end);
      return close_enum(end);
    }
    const RecordInfo info = record_info(top.record);
    for (std::size_t i = 0; i < info.required; ++i) {
      if (!(top.seen & (1u << i))) {
        return fail_at(str_cat("missing field `", info.fields[i].name, "`"), end);
      }
    }
    return close_record(end);
  }

  bool end_array(std::size_t end) override {
    Frame& top = frames_.back();
    if (top.kind == Frame::Kind::Ignore) return close_ignored(end);
    const RecordInfo info = record_info(top.record);
    if (top.count < info.required) {
      return fail_at(str_cat("invalid length ", top.count, ", expected struct ", info.name,
                             " with ", info.fields.size(), " elements"),
                     end);
    }
    return close_record(end);
  }

 private:
  struct Frame {
    enum class Kind : std::uint8_t { Record, Enum, Ignore };
    Kind kind = Kind::Record;
    // Record frames.
    Record record = Record::Meta;
    bool array_form = false;
    std::size_t count = 0;  // array form: elements read so far
    int field = -1;         // object form: the field of the current member, -1 for unknown
    std::uint32_t seen = 0;
    std::uint64_t u[5] = {};
    PqConfig pq;
    CollectionMeta meta;
    // Enum frames.
    Slot enum_slot = Slot::MetricName;
    int enum_state = 0;  // 0 before the key, 1 before the value, 2 after it
    std::uint8_t enum_value = 0;
    // Ignore frames.
    std::size_t depth = 0;
  };

  bool fail_at(std::string message, std::size_t index) {
    fail(std::move(message), index);
    return false;
  }

  // The field index the next value of a record frame belongs to.
  int field_index(const Frame& f) const {
    return f.array_form ? static_cast<int>(f.count) : f.field;
  }

  Slot current_slot() const {
    if (frames_.empty()) return root_done_ ? Slot::Ignore : Slot::Meta;
    const Frame& top = frames_.back();
    switch (top.kind) {
      case Frame::Kind::Ignore:
        return Slot::Ignore;
      case Frame::Kind::Enum:
        return Slot::Unit;
      case Frame::Kind::Record: {
        const int i = field_index(top);
        if (i < 0) return Slot::Ignore;
        return record_info(top.record).fields[static_cast<std::size_t>(i)].slot;
      }
    }
    return Slot::Ignore;
  }

  bool open(std::size_t begin, bool object) {
    const Slot slot = current_slot();
    Frame frame;
    if (slot == Slot::Ignore) {
      frame.kind = Frame::Kind::Ignore;
      frame.depth = 1;
      if (!frames_.empty() && frames_.back().kind == Frame::Kind::Ignore) {
        ++frames_.back().depth;
        return true;
      }
    } else if (is_struct(slot)) {
      frame.kind = Frame::Kind::Record;
      frame.record = record_of(slot);
      frame.array_form = !object;
      mark_present();
    } else if (is_enum(slot)) {
      if (!object) return fail_at("expected value", begin + 1);
      frame.kind = Frame::Kind::Enum;
      frame.enum_slot = slot;
    } else {
      return fail_at(str_cat("invalid type: ", object ? "map" : "sequence", ", expected ",
                             expected_text(slot)),
                     begin);
    }
    frames_.push_back(std::move(frame));
    return true;
  }

  bool close_ignored(std::size_t end) {
    if (--frames_.back().depth > 0) return true;
    frames_.pop_back();
    return value_done(end);
  }

  bool close_enum(std::size_t end) {
    const Frame done = std::move(frames_.back());
    frames_.pop_back();
    store_variant(done.enum_slot, done.enum_value);
    return value_done(end);
  }

  bool close_record(std::size_t end) {
    Frame done = std::move(frames_.back());
    frames_.pop_back();
    switch (done.record) {
      case Record::Meta:
        result_ = std::move(done.meta);
        break;
      case Record::Hnsw: {
        const HnswConfig c{done.u[0], done.u[1], done.u[2]};
        Frame& parent = frames_.back();
        (field_index(parent) == 4 ? parent.meta.hnsw_config : parent.meta.promotion_hnsw_config) =
            c;
        break;
      }
      case Record::Ivf:
        frames_.back().meta.ivf_config = IvfConfig{done.u[0], done.u[1], done.u[2], done.u[3]};
        break;
      case Record::IvfPq:
        frames_.back().meta.ivf_pq_config =
            IvfPqConfig{done.u[0], done.u[1], done.u[2], done.u[3], done.pq};
        break;
      case Record::Pq:
        frames_.back().pq = PqConfig{done.u[0], done.u[1], done.u[2]};
        break;
    }
    return value_done(end);
  }

  // Marks the current field of the enclosing record as given (for the duplicate check and the
  // required-field check), whatever its value.
  void mark_present() {
    if (frames_.empty()) return;
    Frame& top = frames_.back();
    if (top.kind != Frame::Kind::Record) return;
    const int i = field_index(top);
    if (i >= 0) top.seen |= 1u << i;
  }

  void set_u64(std::uint64_t v) {
    mark_present();
    Frame& top = frames_.back();
    const int i = field_index(top);
    if (top.record != Record::Meta) {
      top.u[i] = v;
      return;
    }
    switch (i) {
      case 1:
        top.meta.dimensions = v;
        break;
      case 5:
        top.meta.wal_compact_threshold = v;
        break;
      case 6:
        top.meta.auto_promote_threshold = v;
        break;
      default:
        break;
    }
  }

  void set_text(std::string v) {
    mark_present();
    Frame& top = frames_.back();
    switch (field_index(top)) {
      case 0:
        top.meta.name = std::move(v);
        break;
      case 8:
        top.meta.embedding_model = std::move(v);
        break;
      case 11:
        top.meta.faiss_factory = std::move(v);
        break;
      default:
        break;
    }
  }

  // Looks up a variant name; the unknown-variant failure sits right after the name's quote.
  bool set_variant(Slot slot, std::string_view name, std::size_t end) {
    const std::span<const std::string_view> names =
        slot == Slot::MetricName ? std::span<const std::string_view>(kMetricNames)
                                 : std::span<const std::string_view>(kIndexTypeJsonNames);
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i] != name) continue;
      if (!frames_.empty() && frames_.back().kind == Frame::Kind::Enum) {
        frames_.back().enum_value = static_cast<std::uint8_t>(i);
      } else {
        store_variant(slot, static_cast<std::uint8_t>(i));
      }
      return true;
    }
    return fail_at(unknown_variant(name, names), end);
  }

  void store_variant(Slot slot, std::uint8_t value) {
    mark_present();
    Frame& top = frames_.back();
    if (slot == Slot::MetricName) {
      top.meta.metric = static_cast<Metric>(value);
    } else {
      top.meta.index_type = static_cast<IndexType>(value);
    }
  }

  // A value of the top frame has ended: advance it, and check what may follow where a strict
  // reader would (the end of a full array, the end of an enumeration object).
  bool value_done(std::size_t end) {
    if (frames_.empty()) {
      root_done_ = true;
      return true;
    }
    Frame& top = frames_.back();
    if (top.kind == Frame::Kind::Enum) {
      top.enum_state = 2;
      const std::size_t i = skip_json_whitespace(text_, end);
      if (i >= text_.size()) return fail_at("EOF while parsing an object", text_.size());
      if (text_[i] != '}') return fail_at("expected value", i);
      return true;
    }
    if (top.kind != Frame::Kind::Record) return true;
    if (!top.array_form) {
      top.field = -1;
      return true;
    }
    ++top.count;
    if (top.count < record_info(top.record).fields.size()) return true;
    // Every field is read: only the closing bracket may follow.
    const std::size_t n = text_.size();
    std::size_t i = skip_json_whitespace(text_, end);
    if (i >= n) return fail_at("EOF while parsing a list", n);
    if (text_[i] == ']') return true;
    if (text_[i] == ',') {
      i = skip_json_whitespace(text_, i + 1);
      const bool comma_then_end = i < n && text_[i] == ']';
      return fail_at(comma_then_end ? "trailing comma" : "trailing characters", std::min(i + 1, n));
    }
    return fail_at("trailing characters", i + 1);
  }

  std::string_view text_;
  std::vector<Frame> frames_;
  CollectionMeta result_;
  bool root_done_ = false;
};

bool same_ivf(const IvfConfig& a, const IvfConfig& b) {
  return a.n_lists == b.n_lists && a.nprobe == b.nprobe && a.train_size == b.train_size &&
         a.max_iter == b.max_iter;
}

bool same_pq(const PqConfig& a, const PqConfig& b) {
  return a.m == b.m && a.k_sub == b.k_sub && a.max_iter == b.max_iter;
}

bool same_ivf_pq(const IvfPqConfig& a, const IvfPqConfig& b) {
  return a.n_lists == b.n_lists && a.nprobe == b.nprobe && a.train_size == b.train_size &&
         a.max_iter == b.max_iter && same_pq(a.pq, b.pq);
}

template <class T, class Eq>
bool same_optional(const std::optional<T>& a, const std::optional<T>& b, Eq eq) {
  if (a.has_value() != b.has_value()) return false;
  return !a.has_value() || eq(*a, *b);
}

}  // namespace

std::string_view index_type_json_name(IndexType type) {
  return kIndexTypeJsonNames[static_cast<std::size_t>(type)];
}

std::string_view index_type_debug_name(IndexType type) {
  return kIndexTypeDebugNames[static_cast<std::size_t>(type)];
}

std::optional<IndexType> index_type_from_json_name(std::string_view name) {
  for (std::size_t i = 0; i < kIndexTypeCount; ++i) {
    if (kIndexTypeJsonNames[i] == name) return static_cast<IndexType>(i);
  }
  return std::nullopt;
}

CollectionMeta CollectionMeta::for_new_collection(std::string name, std::uint64_t dimensions,
                                                  Metric metric, IndexType index_type) {
  CollectionMeta meta;
  meta.name = std::move(name);
  meta.dimensions = dimensions;
  meta.metric = metric;
  meta.index_type = index_type;
  if (index_type == IndexType::Hnsw) meta.hnsw_config = HnswConfig{};
  if (index_type == IndexType::Ivf) meta.ivf_config = IvfConfig{};
  if (index_type == IndexType::IvfPq) meta.ivf_pq_config = IvfPqConfig{};
  return meta;
}

std::string CollectionMeta::to_json() const {
  PrettyWriter w;
  w.open();
  w.member("name", name);
  w.member("dimensions", dimensions);
  w.member("metric", metric_text_name(metric));
  w.member("index_type", index_type_json_name(index_type));
  if (hnsw_config) w.member("hnsw_config", *hnsw_config);
  w.member("wal_compact_threshold", wal_compact_threshold);
  if (auto_promote_threshold) w.member("auto_promote_threshold", *auto_promote_threshold);
  if (promotion_hnsw_config) w.member("promotion_hnsw_config", *promotion_hnsw_config);
  if (embedding_model) w.member("embedding_model", std::string_view(*embedding_model));
  if (ivf_config) {
    w.key("ivf_config");
    w.open();
    w.ivf_members(ivf_config->n_lists, ivf_config->nprobe, ivf_config->train_size,
                  ivf_config->max_iter);
    w.close();
  }
  if (ivf_pq_config) {
    w.key("ivf_pq_config");
    w.open();
    w.ivf_members(ivf_pq_config->n_lists, ivf_pq_config->nprobe, ivf_pq_config->train_size,
                  ivf_pq_config->max_iter);
    w.member("pq", ivf_pq_config->pq);
    w.close();
  }
  if (faiss_factory) w.member("faiss_factory", std::string_view(*faiss_factory));
  w.close();
  return w.take();
}

Result<CollectionMeta> CollectionMeta::from_json(std::string_view text) {
  MetaReader reader(text);
  if (std::optional<JsonFailure> f = parse_json_events(text, reader)) {
    return json_failure_error(text, *f);
  }
  return reader.take();
}

bool operator==(const CollectionMeta& a, const CollectionMeta& b) {
  return a.name == b.name && a.dimensions == b.dimensions && a.metric == b.metric &&
         a.index_type == b.index_type && a.hnsw_config == b.hnsw_config &&
         a.wal_compact_threshold == b.wal_compact_threshold &&
         a.auto_promote_threshold == b.auto_promote_threshold &&
         a.promotion_hnsw_config == b.promotion_hnsw_config &&
         a.embedding_model == b.embedding_model &&
         same_optional(a.ivf_config, b.ivf_config, same_ivf) &&
         same_optional(a.ivf_pq_config, b.ivf_pq_config, same_ivf_pq) &&
         a.faiss_factory == b.faiss_factory;
}

}  // namespace sorvel
