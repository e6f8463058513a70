#include "platform/term/term_views.h"

#include <QTimer>
#include <cctype>
#include <cstdlib>
#include <map>

#include "platform/services.h"
#include "platform/term/term_input.h"
#include "platform/wnd.h"

namespace term {
namespace {

std::map<int, ViewFactory>& registry() {
  static std::map<int, ViewFactory> views;
  return views;
}

std::string trimmed(const std::string& s) {
  auto b = s.find_first_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

class FormView : public DialogView {
 public:
  FormView(CDialog& dlg, std::function<void(CDialog&)> run) : m_dlg(dlg), m_run(std::move(run)) {}
  ~FormView() override { *m_alive = false; }
  void started() override {
    later([this, alive = m_alive] {
      if (!*alive || m_dlg.IsEnded()) return;
      m_run(m_dlg);
      if (!m_dlg.IsEnded()) m_dlg.EndDialog(IDCANCEL);
    });
  }

 private:
  CDialog& m_dlg;
  std::function<void(CDialog&)> m_run;
  std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

bool askable(const ControlState& c) {
  return c.visible && c.enabled &&
         ((c.kind == ControlKind::Edit && !(c.tmpl->style & cs::ReadOnly)) || c.kind == ControlKind::CheckBox ||
          c.kind == ControlKind::ListBox);
}

// The read-only field a label ending in ":" names on its own row (its value, drawn to its
// right), or -1.
int valueBeside(const std::vector<ControlState>& controls, std::size_t label) {
  const ControlState& l = controls[label];
  if (l.kind != ControlKind::Label || l.text.empty() || l.text.back() != ':' || !l.tmpl) return -1;
  for (std::size_t j = 0; j < controls.size(); ++j) {
    const ControlState& e = controls[j];
    if (e.kind == ControlKind::Edit && e.tmpl && !askable(e) && e.tmpl->x > l.tmpl->x &&
        std::abs(e.tmpl->y - l.tmpl->y) <= 4)
      return static_cast<int>(j);
  }
  return -1;
}

// The generic form, in the template's (tab) order: texts are shown, indented under the
// title; a label just before an edit field is that field's question, one beside a read-only
// field is shown with its value on one line; check boxes are y/n;
// a list box is shown numbered and its selection asked. A dialog that asked something is
// accepted by a yes/no question, one that only shows texts by its OK button.
void runGeneric(CDialog& dlg) {
  std::string pending = dlg.GetWindowText() + "\n";
  auto flush = [&] {
    writeErr(pending);
    pending.clear();
  };
  bool asked = false;
  auto& controls = dlg.Controls();
  std::vector<bool> shown(controls.size(), false);
  for (std::size_t i = 0; i < controls.size(); ++i) {
    ControlState& c = controls[i];
    if (c.kind == ControlKind::PushButton || !c.visible || shown[i]) continue;
    bool prompt = c.kind == ControlKind::Label && i + 1 < controls.size() &&
                  controls[i + 1].kind == ControlKind::Edit && askable(controls[i + 1]);
    if (prompt) continue;
    if (!askable(c)) {
      std::string t = c.kind == ControlKind::Edit ? c.text : StripMnemonics(c.text);
      if (int v = valueBeside(controls, i); v >= 0) {
        shown[static_cast<std::size_t>(v)] = true;
        // A value of several lines keeps them under the first, indented past the label.
        std::string value = controls[static_cast<std::size_t>(v)].text, indent(t.size() + 3, ' ');
        for (std::size_t at = value.find('\n'); at != std::string::npos; at = value.find('\n', at + 1 + indent.size()))
          value.insert(at + 1, indent);
        t += " " + value;
      }
      if (!t.empty()) pending += "  " + t + "\n";
      continue;
    }
    flush();
    asked = true;
    if (c.kind == ControlKind::Edit) {
      std::string label = i > 0 && controls[i - 1].kind == ControlKind::Label ? StripMnemonics(controls[i - 1].text)
                                                                               : std::string();
      while (!label.empty() && (label.back() == ':' || label.back() == ' ')) label.pop_back();
      if (!askField(dlg, c.id, label, !(c.tmpl->style & cs::Password))) return;
    } else if (c.kind == ControlKind::CheckBox) {
      bool on = askYesNo(StripMnemonics(c.text) + (c.checked ? " [Y/n] " : " [y/N] "), c.checked != 0);
      c.checked = on ? 1 : 0;
      dlg.ChangedControl(c.id);
    } else {
      std::string out;
      for (std::size_t n = 0; n < c.items.size(); ++n) out += "  " + std::to_string(n + 1) + ". " + c.items[n].first + "\n";
      writeErr(out);
      auto line = readLine("Numbers: ");
      if (!line) return;
      c.selected.clear();
      for (const char* p = line->c_str(); *p;) {
        char* end;
        long n = std::strtol(p, &end, 10);
        if (end == p) {
          ++p;
          continue;
        }
        if (n >= 1 && n <= static_cast<long>(c.items.size())) c.selected.push_back(static_cast<int>(n - 1));
        p = end;
      }
      dlg.ChangedControl(c.id);
    }
  }
  flush();
  if (!asked) return dlg.ViewCommand(dlg.Control(IDOK) ? IDOK : IDCANCEL);
  writeErr(AppName() + ": " + StripMnemonics(dlg.GetWindowText()) + "?\n");
  dlg.ViewCommand(askYesNo("[y/n] ", true) ? IDOK : IDCANCEL);
}

}  // namespace

void setView(int templateId, ViewFactory make) { registry()[templateId] = make; }

std::unique_ptr<DialogView> makeView(CDialog& dlg) {
  auto it = registry().find(dlg.TemplateId());
  if (it != registry().end()) return it->second(dlg);
  return formView(dlg, runGeneric);
}

std::unique_ptr<DialogView> formView(CDialog& dlg, std::function<void(CDialog&)> run) {
  return std::make_unique<FormView>(dlg, std::move(run));
}

bool askYesNo(const std::string& prompt, bool dflt) {
  for (;;) {
    auto line = readLine(prompt);
    if (!line) {
      sayTaken(prompt.substr(0, prompt.rfind('[')) + (dflt ? "yes" : "no"));
      return dflt;
    }
    std::string a = lower(*line);
    if (a.empty()) return dflt;
    if (a == "y" || a == "yes") return true;
    if (a == "n" || a == "no") return false;
  }
}

bool askField(CDialog& dlg, int id, const std::string& label, bool echo, bool clearable,
              const std::function<std::string(const std::string&)>& shownAs) {
  for (;;) {
    std::string shown = dlg.ControlText(id);
    bool canClear = clearable && echo && !shown.empty();
    std::string said = shownAs ? shownAs(shown) : shown;
    auto line = readLine(label + (echo && !shown.empty() ? " [" + said + "]" : "") + (canClear ? " (- clears)" : "") + ": ",
                         echo);
    if (!line) return false;
    // A typed value is taken without surrounding blanks; a password as typed.
    std::string value = echo ? trimmed(*line) : *line;
    if (clearable && echo && value == "-")
      dlg.SetControlText(id, "");
    else if (!value.empty() || !echo)
      dlg.SetControlText(id, value);
    if (dlg.ValidateControl(id)) return true;
    dlg.SetControlText(id, shown);  // asked again with the value it had
  }
}

void takeLinePrefix(const CDialog& dlg) {
  static const bool handOff = std::getenv("TARNWICK_HANDOFF") != nullptr;
  if (tagPerWindow() && !dlg.Tag().empty())
    linePrefix() = "[" + dlg.Tag() + "] ";  // what the view says next is this window's
  else if (handOff && linePrefix().empty() && !dlg.Tag().empty())
    linePrefix() = "[" + dlg.Tag() + "] ";
}

void later(std::function<void()> fn) { QTimer::singleShot(0, std::move(fn)); }

}  // namespace term
