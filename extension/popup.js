// The popup: the catching settings, saved as they change, and the last downloads handed over.
"use strict";

const $ = id => document.getElementById(id);

async function show() {
  const s = await settings();
  $("enabled").checked = s.enabled;
  $("minSize").value = +(s.minSize / MiB).toFixed(2);
  $("types").value = s.types;
  $("excludedHosts").value = s.excludedHosts;
  const rows = s.history.map(h => {
    const tr = document.createElement("tr");
    const name = document.createElement("td");
    name.textContent = h.filename || h.url;
    name.title = h.url;
    const st = document.createElement("td");
    st.textContent = h.state;
    st.className = "muted";
    tr.append(name, st);
    return tr;
  });
  $("history").replaceChildren(...rows);
  if (rows.length === 0) $("history").textContent = "None yet.";
}

function save() {
  const mib = parseFloat($("minSize").value);
  api.storage.local.set({
    enabled: $("enabled").checked,
    minSize: Number.isFinite(mib) && mib >= 0 ? Math.round(mib * MiB) : DEFAULTS.minSize,
    types: $("types").value,
    excludedHosts: $("excludedHosts").value,
  });
}

for (const id of ["enabled", "minSize", "types", "excludedHosts"]) $(id).addEventListener("change", save);
api.storage.onChanged.addListener(changes => { if (changes.history) show(); });
api.runtime.sendNativeMessage(HOST, { type: "ping" }).then(
  r => { $("status").textContent = "Tarnwick " + (r && r.version || "") + " is ready."; },
  () => { $("status").textContent = "Tarnwick's browser host is not installed: run tarnwick --install-browser-host."; });
show();
