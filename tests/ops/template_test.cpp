// The Zabbix template in ops/zabbix against what the program really sends:
// every key has a trapper item, discovery rule or item prototype whose type
// takes its values, and everything the template receives is something the
// program sends. The program runs against the test billing database and a
// trapper double that records each key and value.
#include "ops/yaml_subset.h"
#include "support/fake_questdb.h"
#include "support/fake_trapper.h"
#include "support/pg_test.h"
#include "support/run_program.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

namespace {

using ops_test::parse_yaml;
using ops_test::YamlError;
using ops_test::YamlNode;
using test_support::FakeQuestDb;
using test_support::FakeTrapper;
using test_support::HttpReply;

// ---------------------------------------------------------------------------
// The template as the checks need it.

struct Step {
  std::string type;
  std::vector<std::string> parameters;
};

struct TrapperEntity {
  enum class Kind { item, discovery_rule, item_prototype };
  Kind kind = Kind::item;
  std::string type;
  std::string key;
  std::string value_type;
  std::vector<Step> preprocessing;
  std::vector<std::string> trigger_expressions;
  const YamlNode* node = nullptr;
};

struct ZabbixTemplate {
  YamlNode root;
  std::string version;
  std::string host; ///< technical name, as trigger expressions name it
  std::vector<TrapperEntity> entities;
  std::set<std::string> macros; ///< user macros defined, e.g. {$TARVO.X}
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<Step> steps_of(const YamlNode& node) {
  std::vector<Step> steps;
  for (const auto& s : node.sequence("preprocessing")) {
    Step step{s.scalar("type", ""), {}};
    for (const auto& p : s.sequence("parameters")) {
      step.parameters.push_back(p.text);
    }
    steps.push_back(std::move(step));
  }
  return steps;
}

TrapperEntity entity_of(TrapperEntity::Kind kind,
                        const YamlNode& node,
                        const char* triggers) {
  TrapperEntity e;
  e.kind = kind;
  e.node = &node;
  // Defaults of the 6.0 export format for members left out.
  e.type = node.scalar("type", "ZABBIX_PASSIVE");
  e.key = node.scalar("key", "");
  e.value_type = kind == TrapperEntity::Kind::discovery_rule
                     ? ""
                     : node.scalar("value_type", "UNSIGNED");
  e.preprocessing = steps_of(node);
  for (const auto& t : node.sequence(triggers)) {
    e.trigger_expressions.push_back(t.scalar("expression", ""));
  }
  return e;
}

// Read once: the file does not change while the tests run.
const ZabbixTemplate& zabbix_template() {
  static const ZabbixTemplate loaded = [] {
    ZabbixTemplate t;
    t.root = parse_yaml(read_file(TARVO_ZABBIX_TEMPLATE));
    const YamlNode* exported = t.root.find("zabbix_export");
    if (exported == nullptr) {
      throw std::runtime_error("no zabbix_export in the template file");
    }
    t.version = exported->scalar("version", "");
    const auto& templates = exported->sequence("templates");
    if (templates.size() != 1) {
      throw std::runtime_error("the file must hold exactly one template");
    }
    const YamlNode& tpl = templates[0];
    t.host = tpl.scalar("template", "");
    for (const auto& item : tpl.sequence("items")) {
      t.entities.push_back(
          entity_of(TrapperEntity::Kind::item, item, "triggers"));
    }
    for (const auto& rule : tpl.sequence("discovery_rules")) {
      t.entities.push_back(entity_of(
          TrapperEntity::Kind::discovery_rule, rule, "trigger_prototypes"));
      for (const auto& prototype : rule.sequence("item_prototypes")) {
        t.entities.push_back(entity_of(TrapperEntity::Kind::item_prototype,
                                       prototype,
                                       "trigger_prototypes"));
      }
    }
    for (const auto& macro : tpl.sequence("macros")) {
      t.macros.insert(macro.scalar("macro", ""));
    }
    return t;
  }();
  return loaded;
}

void collect_scalars(const YamlNode& node, std::vector<std::string>& out) {
  if (node.kind == YamlNode::Kind::scalar) {
    out.push_back(node.text);
  }
  for (const auto& [key, value] : node.members) {
    collect_scalars(value, out);
  }
  for (const auto& item : node.items) {
    collect_scalars(item, out);
  }
}

void collect_member(const YamlNode& node,
                    std::string_view name,
                    std::vector<std::string>& out) {
  for (const auto& [key, value] : node.members) {
    if (key == name && value.kind == YamlNode::Kind::scalar) {
      out.push_back(value.text);
    }
    collect_member(value, name, out);
  }
  for (const auto& item : node.items) {
    collect_member(item, name, out);
  }
}

std::set<std::string> matches(const std::vector<std::string>& texts,
                              const std::regex& pattern,
                              std::size_t group = 0) {
  std::set<std::string> found;
  for (const auto& text : texts) {
    for (std::sregex_iterator m(text.begin(), text.end(), pattern), end;
         m != end;
         ++m) {
      found.insert((*m)[group].str());
    }
  }
  return found;
}

// The keys an item prototype yields: its key with every discovery macro
// standing for any text without a bracket.
std::regex prototype_pattern(const std::string& key) {
  static const std::regex macro(R"(\{#[A-Z0-9_.]+\})");
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  std::string pattern;
  std::size_t at = 0;
  for (std::sregex_iterator m(key.begin(), key.end(), macro), end; m != end;
       ++m) {
    const auto literal =
        key.substr(at, static_cast<std::size_t>(m->position()) - at);
    pattern += std::regex_replace(literal, special, R"(\$&)");
    pattern += R"([^\[\]]*)";
    at = static_cast<std::size_t>(m->position() + m->length());
  }
  pattern += std::regex_replace(key.substr(at), special, R"(\$&)");
  return std::regex(pattern);
}

// A step that acts on the text None: a script that names it as a string
// literal (comments do not count), or a replacement or pattern on it. What
// the step makes of it is the real server's to show (tests/ops/zabbix_e2e).
bool handles_none(const std::vector<Step>& steps) {
  static const std::regex comment("//[^\n]*");
  return std::any_of(steps.begin(), steps.end(), [](const Step& s) {
    if (s.parameters.empty()) {
      return false;
    }
    if (s.type == "JAVASCRIPT") {
      const auto code = std::regex_replace(s.parameters[0], comment, "");
      return code.find("'None'") != std::string::npos
             || code.find("\"None\"") != std::string::npos;
    }
    if (s.type == "STR_REPLACE" || s.type == "REGEX") {
      return s.parameters[0].find("None") != std::string::npos;
    }
    return false;
  });
}

// ---------------------------------------------------------------------------
// The template file on its own.

class ZabbixTemplateFile : public ::testing::Test {};

TEST_F(ZabbixTemplateFile, IsOneZabbix60TemplateWithWellFormedUniqueUuids) {
  const auto& t = zabbix_template();
  EXPECT_EQ(t.version, "6.0");
  EXPECT_FALSE(t.host.empty());
  std::vector<std::string> uuids;
  collect_member(t.root, "uuid", uuids);
  const std::regex uuid4("[0-9a-f]{12}4[0-9a-f]{3}[89ab][0-9a-f]{15}");
  for (const auto& u : uuids) {
    EXPECT_TRUE(std::regex_match(u, uuid4)) << u;
  }
  EXPECT_EQ(std::set<std::string>(uuids.begin(), uuids.end()).size(),
            uuids.size());
  // The template's groups are the groups the file declares.
  std::set<std::string> declared;
  for (const auto& g : t.root.find("zabbix_export")->sequence("groups")) {
    declared.insert(g.scalar("name", ""));
  }
  const auto& tpl = t.root.find("zabbix_export")->sequence("templates")[0];
  ASSERT_FALSE(tpl.sequence("groups").empty());
  for (const auto& g : tpl.sequence("groups")) {
    EXPECT_TRUE(declared.contains(g.scalar("name", "")))
        << g.scalar("name", "");
  }
}

TEST_F(ZabbixTemplateFile, EveryItemIsATrapperAndEveryKeyIsUnique) {
  std::set<std::string> keys;
  for (const auto& e : zabbix_template().entities) {
    SCOPED_TRACE(e.key);
    EXPECT_EQ(e.type, "TRAP");
    EXPECT_TRUE(keys.insert(e.key).second) << "duplicate key";
  }
}

TEST_F(ZabbixTemplateFile, TriggerExpressionsUseTheTemplatesOwnItems) {
  const auto& t = zabbix_template();
  const std::regex reference(R"(/([^/]+)/([A-Za-z0-9_.]+(\[[^\]]*\])?))");
  std::size_t references = 0;
  for (const auto& e : t.entities) {
    for (const auto& expression : e.trigger_expressions) {
      SCOPED_TRACE(expression);
      for (std::sregex_iterator
               m(expression.begin(), expression.end(), reference),
           end;
           m != end;
           ++m) {
        ++references;
        EXPECT_EQ((*m)[1].str(), t.host);
        // A trigger names its own item; a trigger prototype its own item
        // prototype, so that each discovered trigger follows one client.
        EXPECT_EQ((*m)[2].str(), e.key);
      }
    }
  }
  EXPECT_GT(references, 0U);
}

TEST_F(ZabbixTemplateFile, EveryUserMacroUsedIsDefinedWithADefault) {
  const auto& t = zabbix_template();
  std::vector<std::string> texts;
  collect_scalars(t.root, texts);
  // {$NAME} or {$NAME:"context"}: the definition is the name without context.
  const auto used =
      matches(texts, std::regex(R"(\{\$([A-Z0-9_.]+)(:[^}]*)?\})"), 1);
  ASSERT_FALSE(used.empty());
  std::set<std::string> defined;
  for (const auto& m : t.macros) {
    defined.insert(m.substr(2, m.size() - 3));
  }
  EXPECT_EQ(used, defined);
  const auto& tpl = t.root.find("zabbix_export")->sequence("templates")[0];
  for (const auto& m : tpl.sequence("macros")) {
    EXPECT_FALSE(m.scalar("value", "").empty()) << m.scalar("macro", "");
  }
}

// Every graph draws items of this template: a graph its items, a graph
// prototype the item prototypes of its own rule and a name that differs per
// client. Every dashboard widget shows a graph or prototype the file defines,
// on a grid page where widgets neither overflow nor overlap.
TEST_F(ZabbixTemplateFile, GraphsAndDashboardPointAtWhatTheTemplateHas) {
  const auto& t = zabbix_template();
  const YamlNode& exported = *t.root.find("zabbix_export");
  const YamlNode& tpl = exported.sequence("templates")[0];

  const auto check_items = [&](const YamlNode& graph,
                               const std::set<std::string>& keys) {
    SCOPED_TRACE(graph.scalar("name", ""));
    ASSERT_FALSE(graph.sequence("graph_items").empty());
    for (const auto& g : graph.sequence("graph_items")) {
      const YamlNode* item = g.find("item");
      ASSERT_NE(item, nullptr);
      EXPECT_EQ(item->scalar("host", ""), t.host);
      EXPECT_TRUE(keys.contains(item->scalar("key", "")))
          << item->scalar("key", "");
    }
  };
  std::set<std::string> item_keys;
  for (const auto& e : t.entities) {
    if (e.kind == TrapperEntity::Kind::item) {
      item_keys.insert(e.key);
    }
  }
  std::set<std::string> graphs;
  for (const auto& graph : exported.sequence("graphs")) {
    check_items(graph, item_keys);
    graphs.insert(graph.scalar("name", ""));
  }
  std::set<std::string> prototypes;
  for (const auto& rule : tpl.sequence("discovery_rules")) {
    std::set<std::string> prototype_keys;
    for (const auto& p : rule.sequence("item_prototypes")) {
      prototype_keys.insert(p.scalar("key", ""));
    }
    for (const auto& graph : rule.sequence("graph_prototypes")) {
      check_items(graph, prototype_keys);
      EXPECT_THAT(graph.scalar("name", ""),
                  ::testing::HasSubstr("{#CLIENTE_ID}"));
      prototypes.insert(graph.scalar("name", ""));
    }
  }
  EXPECT_FALSE(graphs.empty());
  EXPECT_FALSE(prototypes.empty());

  // The grid of a Zabbix 6.0 dashboard page: 24 columns, rows of 70 pixels.
  constexpr int k_columns = 24;
  constexpr int k_laptop_rows = 10;
  std::size_t widgets = 0;
  for (const auto& dashboard : tpl.sequence("dashboards")) {
    for (const auto& page : dashboard.sequence("pages")) {
      struct Box {
        int x, y, width, height;
      };
      std::vector<Box> boxes;
      for (const auto& w : page.sequence("widgets")) {
        ++widgets;
        const std::string type = w.scalar("type", "");
        SCOPED_TRACE(type + " " + w.scalar("name", ""));
        const Box box{std::stoi(w.scalar("x", "0")),
                      std::stoi(w.scalar("y", "0")),
                      std::stoi(w.scalar("width", "1")),
                      std::stoi(w.scalar("height", "2"))};
        EXPECT_LE(box.x + box.width, k_columns);
        // The page reads without scrolling on a laptop screen: ten rows
        // fit under the front end's header at 1440x900.
        EXPECT_LE(box.y + box.height, k_laptop_rows);
        for (const Box& other : boxes) {
          EXPECT_FALSE(
              box.x < other.x + other.width && other.x < box.x + box.width
              && box.y < other.y + other.height && other.y < box.y + box.height)
              << "overlaps the widget at " << other.x << "," << other.y;
        }
        boxes.push_back(box);
        std::size_t shown = 0;
        for (const auto& f : w.sequence("fields")) {
          const std::string field = f.scalar("type", "");
          if (field != "GRAPH" && field != "GRAPH_PROTOTYPE") {
            continue;
          }
          ++shown;
          const YamlNode* value = f.find("value");
          ASSERT_NE(value, nullptr);
          EXPECT_EQ(value->scalar("host", ""), t.host);
          const auto& names = field == "GRAPH" ? graphs : prototypes;
          EXPECT_TRUE(names.contains(value->scalar("name", "")))
              << value->scalar("name", "");
          EXPECT_EQ(type,
                    field == "GRAPH" ? "GRAPH_CLASSIC" : "GRAPH_PROTOTYPE");
        }
        if (type == "GRAPH_CLASSIC" || type == "GRAPH_PROTOTYPE") {
          EXPECT_EQ(shown, 1U);
        }
      }
    }
  }
  EXPECT_GT(widgets, 0U);
}

// ---------------------------------------------------------------------------
// The template against the program's own sends.

struct Sent {
  std::string key;
  std::string value;
};

struct ProgramRun {
  std::string name;
  std::vector<Sent> sent;
};

class ZabbixTemplateAgainstTheProgram : public support::PgTest {
protected:
  void SetUp() override {
    support::PgTest::SetUp();
    if (IsSkipped()) {
      return;
    }
    // The fixture's clients with both POP kinds (open titles, none at all),
    // and a database without any overdue title, one per test since tests run
    // side by side.
    const std::string empty_database =
        "billing_ops_vazio_" + std::to_string(test_line());
    support::create_billing_database(m_env, empty_database, "");
    m_runs.push_back(run("fixture, POP 1", m_env.database, "1"));
    m_runs.push_back(run("fixture, POP 999", m_env.database, "999"));
    m_runs.push_back(run("no overdue client", empty_database, "1"));
  }

  static int test_line() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->line();
  }

  ProgramRun run(const std::string& name,
                 const std::string& database,
                 const std::string& pop_id) {
    // Each test's line gives it its own address for the store's fixed port
    // 9000.
    const int line = test_line();
    const std::string address = "127.20." + std::to_string(1 + line / 250) + "."
                                + std::to_string(1 + line % 250);
    FakeTrapper trapper;
    ProgramRun result{name, {}};
    {
      const FakeQuestDb rows(
          FakeQuestDb::Options{.address = address, .port = 0, .script = {}});
      const FakeQuestDb sql(
          FakeQuestDb::Options{.address = address,
                               .port = 9000,
                               .script = {HttpReply::column_listing(15)}});
      const auto r = support::run_program(
          TARVO_BINARY,
          {TARVO_BINARY,
           "discovery_clientes",
           "-",
           m_env.host,
           m_env.port,
           database,
           m_env.user,
           m_env.password,
           pop_id,
           address,
           std::to_string(rows.port()),
           "pop-modelo"},
          {.env = {"ZABBIX_SERVER=127.0.0.1:" + std::to_string(trapper.port())},
           .stdout_to = std::nullopt});
      EXPECT_EQ(r.status, 0) << name << ": " << r.err;
      EXPECT_EQ(r.out, "OK\n") << name;
    }
    for (const auto& request : trapper.received()) {
      EXPECT_EQ(request.host, "pop-modelo");
      result.sent.push_back({request.key, request.value});
    }
    EXPECT_FALSE(result.sent.empty()) << name;
    return result;
  }

  std::vector<ProgramRun> m_runs;
};

// What a value needs: its text as the trapper item's type reads it.
enum class ValueKind { count, number, none, document, other };

ValueKind kind_of(const std::string& value) {
  if (!value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
        return c >= '0' && c <= '9';
      })) {
    return ValueKind::count;
  }
  if (value == "None") {
    return ValueKind::none;
  }
  double number = 0;
  const auto [end, ec] =
      std::from_chars(value.data(), value.data() + value.size(), number);
  if (ec == std::errc{} && end == value.data() + value.size()
      && std::isfinite(number)) {
    return ValueKind::number;
  }
  if (nlohmann::json::accept(value)) {
    return ValueKind::document;
  }
  return ValueKind::other;
}

// How the template must receive a set of values, in the words the template
// uses: a discovery rule, or the value type and whether None is preprocessed.
std::string receiving_needed(const std::vector<std::string>& values) {
  std::set<ValueKind> kinds;
  for (const auto& v : values) {
    kinds.insert(kind_of(v));
  }
  if (kinds == std::set<ValueKind>{ValueKind::document}) {
    return "discovery rule";
  }
  if (kinds == std::set<ValueKind>{ValueKind::count}) {
    return "UNSIGNED";
  }
  kinds.erase(ValueKind::count);
  kinds.erase(ValueKind::number);
  if (kinds.empty()) {
    return "FLOAT";
  }
  if (kinds == std::set<ValueKind>{ValueKind::none}) {
    return "FLOAT, None preprocessed";
  }
  return "no numeric type takes these values";
}

std::string receiving_in_template(const TrapperEntity& e) {
  if (e.kind == TrapperEntity::Kind::discovery_rule) {
    return "discovery rule";
  }
  return e.value_type
         + (handles_none(e.preprocessing) ? ", None preprocessed" : "");
}

TEST_F(ZabbixTemplateAgainstTheProgram,
       EveryKeyLandsOnAnItemWhoseTypeTakesAllItsValues) {
  const auto& t = zabbix_template();
  std::vector<std::regex> patterns;
  for (const auto& e : t.entities) {
    patterns.push_back(prototype_pattern(e.key));
  }
  std::map<std::string, std::vector<std::string>> values_by_entity;
  std::vector<std::string> unmatched;
  for (const auto& run : m_runs) {
    for (const auto& s : run.sent) {
      const TrapperEntity* match = nullptr;
      for (std::size_t i = 0; i < t.entities.size() && match == nullptr; ++i) {
        const auto& e = t.entities[i];
        const bool fits = e.kind == TrapperEntity::Kind::item_prototype
                              ? std::regex_match(s.key, patterns[i])
                              : s.key == e.key;
        if (fits) {
          match = &e;
        }
      }
      if (match == nullptr) {
        unmatched.push_back(run.name + ": " + s.key);
        continue;
      }
      values_by_entity[match->key].push_back(s.value);
    }
  }
  EXPECT_THAT(unmatched, ::testing::IsEmpty());

  // Both sides whole: an item of the template that no run fed shows up as a
  // key missing on the left.
  std::map<std::string, std::string> needed;
  for (const auto& [key, values] : values_by_entity) {
    needed[key] = receiving_needed(values);
  }
  std::map<std::string, std::string> offered;
  for (const auto& e : t.entities) {
    offered[e.key] = receiving_in_template(e);
  }
  EXPECT_EQ(needed, offered);
}

TEST_F(ZabbixTemplateAgainstTheProgram,
       PrototypesYieldExactlyTheKeysOfThePerClientValues) {
  const auto& t = zabbix_template();
  const TrapperEntity* rule = nullptr;
  std::vector<const TrapperEntity*> prototypes;
  std::set<std::string> fixed_keys;
  for (const auto& e : t.entities) {
    if (e.kind == TrapperEntity::Kind::discovery_rule) {
      rule = &e;
    } else if (e.kind == TrapperEntity::Kind::item_prototype) {
      prototypes.push_back(&e);
    }
    if (e.kind != TrapperEntity::Kind::item_prototype) {
      fixed_keys.insert(e.key);
    }
  }
  ASSERT_NE(rule, nullptr);
  ASSERT_FALSE(prototypes.empty());
  // The document carries a null client id as null, the per-client keys as
  // None: the rule's preprocessing writes the nulls as None.
  ASSERT_TRUE(handles_none(rule->preprocessing));
  ASSERT_EQ(rule->preprocessing.front().type, "JAVASCRIPT");

  const std::regex macro(R"(\{#[A-Z0-9_.]+\})");
  std::size_t clients = 0;
  for (const auto& run : m_runs) {
    SCOPED_TRACE(run.name);
    std::vector<std::string> sent_per_client;
    std::string document;
    for (const auto& s : run.sent) {
      if (s.key == rule->key) {
        document = s.value;
      } else if (!fixed_keys.contains(s.key)) {
        sent_per_client.push_back(s.key);
      }
    }
    const auto parsed = nlohmann::json::parse(document);
    std::vector<std::string> yielded;
    for (const auto& row : parsed.at("data")) {
      ++clients;
      for (const auto* p : prototypes) {
        std::string key;
        std::size_t at = 0;
        for (std::sregex_iterator m(p->key.begin(), p->key.end(), macro), end;
             m != end;
             ++m) {
          key +=
              p->key.substr(at, static_cast<std::size_t>(m->position()) - at);
          const auto& value = row.at(m->str());
          key += value.is_null()     ? std::string("None")
                 : value.is_string() ? value.get<std::string>()
                                     : value.dump();
          at = static_cast<std::size_t>(m->position() + m->length());
        }
        yielded.push_back(key + p->key.substr(at));
      }
    }
    std::sort(sent_per_client.begin(), sent_per_client.end());
    std::sort(yielded.begin(), yielded.end());
    EXPECT_EQ(yielded, sent_per_client);
  }
  EXPECT_GT(clients, 0U);
}

TEST_F(ZabbixTemplateAgainstTheProgram,
       PrototypesUseOnlyMacrosTheDocumentCarries) {
  const auto& t = zabbix_template();
  std::vector<std::string> texts;
  for (const auto& e : t.entities) {
    if (e.kind == TrapperEntity::Kind::item_prototype) {
      collect_scalars(*e.node, texts);
    }
  }
  const auto used = matches(texts, std::regex(R"(\{#[A-Z0-9_.]+\})"));
  // Names show who the client is.
  EXPECT_THAT(used,
              ::testing::IsSupersetOf({"{#CLIENTE_ID}", "{#RAZAOSOCIAL}"}));
  std::size_t rows = 0;
  for (const auto& run : m_runs) {
    for (const auto& s : run.sent) {
      if (s.key != "discovery_clientes") {
        continue;
      }
      const auto document = nlohmann::json::parse(s.value);
      for (const auto& row : document.at("data")) {
        ++rows;
        std::set<std::string> carried;
        for (const auto& [name, value] : row.items()) {
          carried.insert(name);
        }
        EXPECT_THAT(carried, ::testing::IsSupersetOf(used)) << row.dump();
      }
    }
  }
  EXPECT_GT(rows, 0U);
}

// ---------------------------------------------------------------------------
// The reader of the file's YAML.

class YamlSubset : public ::testing::Test {};

TEST_F(YamlSubset, ReadsTheShapesOfAZabbixExport) {
  const YamlNode root = parse_yaml("zabbix_export:\n"
                                   "  version: '6.0'\n"
                                   "  # a comment\n"
                                   "  items:\n"
                                   "    - key: 'a[{#X}]'\n"
                                   "      name: It''s plain # trailing\n"
                                   "      preprocessing:\n"
                                   "        - type: JAVASCRIPT\n"
                                   "          parameters:\n"
                                   "            - |\n"
                                   "              if (x) {\n"
                                   "\n"
                                   "                return '0';\n"
                                   "              }\n"
                                   "    - key: b\n"
                                   "  empty:\n"
                                   "  list:\n"
                                   "  - one\n"
                                   "  - 'two: 2'\n");
  const YamlNode* e = root.find("zabbix_export");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->scalar("version", ""), "6.0");
  const auto& items = e->sequence("items");
  ASSERT_EQ(items.size(), 2U);
  EXPECT_EQ(items[0].scalar("key", ""), "a[{#X}]");
  EXPECT_EQ(items[0].scalar("name", ""), "It''s plain");
  const auto& steps = items[0].sequence("preprocessing");
  ASSERT_EQ(steps.size(), 1U);
  ASSERT_EQ(steps[0].sequence("parameters").size(), 1U);
  EXPECT_EQ(steps[0].sequence("parameters")[0].text,
            "if (x) {\n\n  return '0';\n}\n");
  EXPECT_EQ(items[1].scalar("key", ""), "b");
  EXPECT_EQ(e->scalar("empty", "absent"), "");
  ASSERT_EQ(e->sequence("list").size(), 2U);
  EXPECT_EQ(e->sequence("list")[1].text, "two: 2");
  EXPECT_EQ(e->scalar("missing", "absent"), "absent");
}

TEST_F(YamlSubset, RejectsWhatItCannotReadFaithfully) {
  struct Case {
    const char* name;
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"tab", "a:\n\tb: 1\n", "line 2: tab in indentation"},
      {"flow mapping", "a: {b: 1}\n", "line 1: unsupported YAML syntax \"{\""},
      {"flow sequence",
       "a:\n  - [1, 2]\n",
       "line 2: unsupported YAML syntax \"[\""},
      {"double quotes",
       "a: \"x\"\n",
       "line 1: double-quoted scalars are not supported"},
      {"duplicate key", "a: 1\nb: 2\na: 3\n", "line 3: duplicate key \"a\""},
      {"deeper line", "a: 1\n  b: 2\n", "line 2: unexpected indentation"},
      {"unterminated quote",
       "a: 'x\n",
       "line 1: unterminated single-quoted scalar"},
      {"plain text line", "a: 1\nb\n", "line 2: expected \"key: value\""},
      {"item in a mapping",
       "a:\n  b: 1\n  - c\n",
       "line 3: sequence item inside a mapping"},
      {"empty block", "a: |\nb: 1\n", "line 1: empty block scalar"},
      {"colon in a plain value",
       "a: b: c\n",
       "line 1: \": \" inside a plain scalar"},
      {"empty document", "# nothing\n\n", "empty document"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(
        [&] { parse_yaml(c.text); },
        ::testing::ThrowsMessage<YamlError>(::testing::StrEq(c.message)));
  }
}

} // namespace
