// The links window: the page's (or selection's) links, ticked by hand or by a name pattern,
// handed over in one message.
"use strict";

const $ = id => document.getElementById(id);
const key = location.hash.slice(1);
let page = { referrer: "", links: [] };

function name(url) {
  try { return decodeURIComponent(baseName(new URL(url).pathname)) || url; } catch { return url; }
}

// Blank-separated shell patterns (* and ?) on the file's name, case ignored.
function matcher(text) {
  const patterns = text.split(/\s+/).filter(Boolean).map(p =>
    new RegExp("^" + p.replace(/[.+^${}()|[\]\\]/g, "\\$&").replace(/\*/g, ".*").replace(/\?/g, ".") + "$", "i"));
  return url => patterns.length === 0 || patterns.some(r => r.test(name(url)));
}

function boxes() { return [...document.querySelectorAll("#rows input")]; }

function update() {
  const shown = matcher($("filter").value);
  for (const b of boxes()) b.closest("tr").hidden = !shown(b.value);
  const ticked = boxes().filter(b => b.checked && !b.closest("tr").hidden).length;
  $("count").textContent = ticked + " of " + boxes().length + " ticked";
  $("start").disabled = ticked === 0;
}

async function load() {
  const stored = await api.storage.local.get(key);
  page = stored[key] || page;
  await api.storage.local.remove(key);
  $("rows").replaceChildren(...page.links.map(l => {
    const tr = document.createElement("tr");
    const box = document.createElement("input");
    box.type = "checkbox";
    box.value = l.url;
    box.addEventListener("change", update);
    const label = document.createElement("td");
    label.textContent = name(l.url);
    label.title = l.url;
    const text = document.createElement("td");
    text.textContent = l.text;
    text.className = "muted";
    const cell = document.createElement("td");
    cell.append(box);
    tr.append(cell, label, text);
    return tr;
  }));
  if (page.links.length === 0) $("result").textContent = "This page has no links to download.";
  update();
}

$("filter").addEventListener("input", () => {
  // A pattern ticks what it matches, as the user means by typing it.
  const shown = matcher($("filter").value);
  if ($("filter").value.trim()) for (const b of boxes()) b.checked = shown(b.value);
  update();
});
$("all").addEventListener("click", () => { for (const b of boxes()) if (!b.closest("tr").hidden) b.checked = true; update(); });
$("none").addEventListener("click", () => { for (const b of boxes()) b.checked = false; update(); });
$("cancel").addEventListener("click", () => window.close());
$("start").addEventListener("click", async () => {
  const urls = boxes().filter(b => b.checked && !b.closest("tr").hidden).map(b => b.value);
  $("start").disabled = true;
  const reply = await api.runtime.sendMessage({ type: "links", referrer: page.referrer, urls });
  if (reply && reply.ok) window.close();
  else $("result").textContent = "The browser downloads them: " + ((reply && reply.error) || "no reply");
});
load();
