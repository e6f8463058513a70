// What the background and the extension's pages share: the settings, their defaults and the
// list of the last downloads handed over.
"use strict";

const api = globalThis.browser ?? globalThis.chrome;
const HOST = "com.quillfern.tarnwick";
const MiB = 1024 * 1024;
const DEFAULTS = {
  enabled: true,
  minSize: 1 * MiB,
  // Caught whatever their size, by the name's ending.
  types: "zip 7z rar tar gz xz bz2 zst iso img dmg exe msi deb rpm apk appimage",
  excludedHosts: "",
  history: [],
};
const HISTORY_KEPT = 20;

async function settings() {
  return { ...DEFAULTS, ...(await api.storage.local.get(Object.keys(DEFAULTS))) };
}

// A host is excluded when it or a domain above it is listed (one a line, or blank-separated).
function hostExcluded(url, excluded) {
  let host;
  try { host = new URL(url).hostname.toLowerCase(); } catch { return false; }
  return excluded.split(/\s+/).filter(Boolean).some(e => {
    e = e.toLowerCase().replace(/^\*?\./, "");
    return host === e || host.endsWith("." + e);
  });
}

function typeListed(fileName, types) {
  const dot = fileName.lastIndexOf(".");
  if (dot < 0) return false;
  const ext = fileName.slice(dot + 1).toLowerCase();
  return types.toLowerCase().split(/[\s,]+/).filter(Boolean).map(t => t.replace(/^\*?\./, "")).includes(ext);
}

// The last part of a path or URL, which the browser would name the file after.
function baseName(path) {
  return (path || "").split(/[\\/]/).pop();
}
