// The one rule for the name of a download's file, whatever starts the download (a URL, a
// batch, the browser, a dropped link, -J and the server's name, Save As's proposal): the
// name fitted to what the file system takes, else name.1, name.2, ...; never a name where a
// file stands, nor one a queued entry holds (its Local), since that entry writes it when it
// runs. The file itself is made only where nothing stands (O_EXCL).
#pragma once
#include <functional>
#include <string>

using PathTest = std::function<bool(const std::string&)>;

// Whether a queued entry other than exceptSlot's holds a path (folders compared resolved),
// the queue read once, now: one reading serves a whole batch's names.
PathTest heldByQueue(const std::string& exceptSlot = std::string());

// A free path for name in folder by the rule, held saying which paths are held (heldByQueue,
// with those a batch has given already). An empty file at browsers (the browser's own for
// this very download, which it removes when it lets go) does not count.
std::string freeLocalPath(const std::string& folder, const std::string& name, const PathTest& held,
                          const std::string& browsers = std::string());
// The same with the queue read now.
std::string freeLocalPath(const std::string& folder, const std::string& name);

// Makes the new file of the download in exceptSlot (its entry not counted) at path, or, when
// something stands there, under the next free name by the rule: the path made, "" with why.
// waitMs: how long an empty file at path may take to go (the browser's own) before the next
// name is taken.
std::string makeLocalFile(const std::string& path, const std::string& exceptSlot, std::string& why, int waitMs = 0);

// The slot of a queued entry other than exceptSlot's that holds path for another address than
// url (one for url is the same download, which takes its entry over); "" none.
std::string otherHolder(const std::string& path, const std::string& url, const std::string& exceptSlot);
