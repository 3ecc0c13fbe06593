// The tool catalogue. Wording, defaults and limits in the descriptions are
// what the agent reads, so every text here is part of the contract.
#include "server/tools.h"

#include <initializer_list>
#include <string>
#include <utility>

namespace server {

namespace {

using Json = nlohmann::json;

enum class Hints { read_only, writing, cloning };

Json annotations(Hints hints) {
  Json a = Json::object();
  a["readOnlyHint"] = hints == Hints::read_only;
  a["destructiveHint"] = false;
  a["idempotentHint"] = hints == Hints::read_only;
  a["openWorldHint"] = hints == Hints::cloning;
  return a;
}

Json string_property(const char* description) {
  return Json{{"description", description}, {"type", "string"}};
}

Json number_property(const char* description) {
  return Json{{"description", description}, {"type", "number"}};
}

Json string_array_property(const char* description) {
  return Json{{"description", description}, {"items", Json{{"type", "string"}}}, {"type", "array"}};
}

Json vault_path_property() { return string_property("Optional target vault root. Omit to use the active vault."); }

using Property = std::pair<const char*, Json>;

Json tool(const char* name, const char* description, Hints hints, std::initializer_list<Property> properties,
          std::initializer_list<const char*> required) {
  Json props = Json::object();
  for (const auto& [key, schema] : properties) props[key] = schema;
  Json schema = Json::object();
  schema["properties"] = std::move(props);
  if (required.size() > 0) {
    Json names = Json::array();
    for (const char* r : required) names.push_back(r);
    schema["required"] = std::move(names);
  }
  schema["type"] = "object";
  Json entry = Json::object();
  entry["annotations"] = annotations(hints);
  entry["description"] = description;
  entry["inputSchema"] = std::move(schema);
  entry["name"] = name;
  return entry;
}

Json build_catalogue() {
  Json tools = Json::array();
  tools.push_back(tool(
      "search_notes",
      "Full-text search across vault notes by title or content. Returns matching paths, titles, and snippets.",
      Hints::read_only,
      {{"limit", number_property("Maximum number of results (default: 10)")},
       {"query", string_property("Search query string. Pass an empty string with tags to list every note carrying "
                                 "those tags.")},
       {"tags", string_array_property("Optional tag filter. Every listed tag must be on the note (tags are matched "
                                      "case-insensitively).")}},
      {"query"}));
  tools.push_back(tool("get_vault_context",
                       "Get vault orientation for the active tarnel vault: tags in use, AGENTS.md instructions, note "
                       "count, folders, and recent notes.",
                       Hints::read_only, {{"vaultPath", vault_path_property()}}, {}));
  tools.push_back(tool(
      "list_vaults",
      "List the active tarnel vault available to MCP tools, including whether it has AGENTS.md instructions.",
      Hints::read_only, {}, {}));
  tools.push_back(tool("attach_vault",
                       "Register an existing accessible local folder as a tarnel vault and make it the session active "
                       "vault. This does not initialize Git.",
                       Hints::writing,
                       {{"label", string_property("Optional display label. Defaults to the folder name.")},
                        {"path", string_property("Absolute path to an existing local folder.")}},
                       {"path"}));
  tools.push_back(tool(
      "clone_vault",
      "Clone a Git repository with the system Git configuration, then register the resulting folder as a tarnel "
      "vault and make it the session active vault. Existing destinations are rejected.",
      Hints::cloning,
      {{"destinationPath", string_property("Absolute path for the new clone. It must not already exist.")},
       {"label", string_property("Optional display label. Defaults to the destination folder name.")},
       {"remoteUrl", string_property("Git remote URL understood by the system Git client.")}},
      {"remoteUrl", "destinationPath"}));
  tools.push_back(tool("get_note",
                       "Read a note with parsed YAML frontmatter, markdown content, and mtimeMs for conflict-guarded "
                       "edits. Returns {path, frontmatter, content, mtimeMs}.",
                       Hints::read_only,
                       {{"path", string_property("Relative path to the note (e.g. \"project/my-project.md\")")},
                        {"vaultPath", vault_path_property()}},
                       {"path"}));
  tools.push_back(tool(
      "create_note",
      "Create a new markdown note inside an active tarnel vault. Does not overwrite existing files. Use content for "
      "the full markdown including YAML frontmatter and H1.",
      Hints::writing,
      {{"content", string_property("Full markdown note content, including YAML frontmatter when needed.")},
       {"path", string_property("Relative path inside the vault, or an absolute path inside an active vault. Must end "
                                "in .md.")},
       {"tags", string_array_property("Optional tags applied to the new note, used only when content is omitted.")},
       {"title", string_property("Optional title used only when content is omitted.")},
       {"vaultPath", vault_path_property()}},
      {"path"}));
  tools.push_back(tool(
      "update_note",
      "Replace the full content (frontmatter + body) of an existing note. The note must already exist \u2014 use "
      "create_note for new notes. Optionally pass expectedMtime (the note mtimeMs returned by get_note) to fail-fast "
      "when the note changed between read and write.",
      Hints::writing,
      {{"content", string_property("Full new markdown note content (frontmatter + body).")},
       {"expectedMtime", number_property("Optional on-disk mtimeMs from get_note. When set, the update fails if the "
                                         "note has changed.")},
       {"path", string_property("Relative path inside the vault, or an absolute path inside an active vault.")},
       {"vaultPath", vault_path_property()}},
      {"path", "content"}));
  tools.push_back(tool("append_to_note",
                       "Append markdown to the end of an existing note body. Lower-risk than update_note for agents "
                       "that only need to log or extend content. The note must already exist.",
                       Hints::writing,
                       {{"content", string_property("Markdown to append after the existing body.")},
                        {"path", string_property("Relative path inside the vault, or an absolute path inside an "
                                                 "active vault.")},
                        {"vaultPath", vault_path_property()}},
                       {"path", "content"}));
  tools.push_back(tool("open_note",
                       "Open a note in the tarnel UI as a new tab. Use after creating or editing a note so the user "
                       "can see it.",
                       Hints::read_only,
                       {{"path", string_property("Relative path to the note")}, {"vaultPath", vault_path_property()}},
                       {"path"}));
  Json element = string_property("Which UI element to highlight");
  element["enum"] = Json::array({"editor", "tab", "properties", "notelist"});
  tools.push_back(tool("highlight_editor",
                       "Visually highlight a UI element in tarnel (editor, tab, properties panel, or note list). The "
                       "highlight auto-clears after a short delay.",
                       Hints::read_only,
                       {{"element", element},
                        {"path", string_property("Optional note path to associate with the highlight")}},
                       {"element"}));
  tools.push_back(tool("refresh_vault",
                       "Trigger a vault rescan so new or modified files appear immediately in the tarnel note list.",
                       Hints::read_only,
                       {{"path", string_property("Optional specific note path that changed")},
                        {"vaultPath", vault_path_property()}},
                       {}));
  return tools;
}

}  // namespace

const nlohmann::json& tool_catalogue() {
  static const nlohmann::json catalogue = build_catalogue();
  return catalogue;
}

}  // namespace server
