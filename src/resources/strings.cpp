// The string table, with its ids and exact texts.
#include "resources/resources.h"

#include <algorithm>

namespace {
const std::vector<std::pair<int, std::string>> kStrings = {
    {100, "OLE initialization failed.  Make sure that the OLE libraries are the correct version."},
    {101, "&About Tarnwick..."},
    {103, "Windows sockets initialization failed."},
    {105, "Too many items in queue (100 max).  Finish getting some and try again.\nAborting."},
    {106, "Sorry, only HTTP or FTP protocols are supported.\nAborting."},
    {107, "Couldn't open output file:\n  %s\nAborting."},
    {108, "Error connecting to:\n  %s\nServer or network may be down."},
    {110, "'Save As' Dialog cancelled.\nAborting."},
    {111, "Couldn't recognize proxy server format.  Tarnwick proxy server must be reconfigured.\nAborting."},
    {112, "Invalid proxy server format.\nUse format:\n   server.name:port"},
    {113, "Error writing to output file:\n  %s\nAborting."},
    {114, "Error creating socket for network communication!\nAborting."},
    {115, "Couldn't find information to resume downloading.\nAborting."},
    {116, "Only Basic authorization is handled.\nAborting."},
    {117, "No requests needed to be resumed."},
    {119, "Would you like to have this request resumed later?"},
    {120, "You are running out of resources (timers).  Tarnwick screen updates won't work as well."},
    {121, "The server returned an error response:\n  %i = %s\n\nAborting."},
    {122, "The server was unable to handle the request and returned an error response:\n  %i = %s\n\nWould you like to try resuming this request later?"},
    {124, "Tarnwick &Help"},
    {125, "Tarnwick/1.2"},
    {126, "(This server does not support resuming.)"},
    {127, "&View Header..."},
    {129, "Error listening for network communication!\nAborting."},
    {130, "Service unknown for:\n  %s\nAborting."},
    {131, "Connected, logging in..."},
    {132, "Connected, setting up transfer..."},
    {133, "Connected, requesting file..."},
    {134, "Small &Window"},
    {135, "&Always On Top"},
    {136, "Couldn't setup for PASV connection.\nAborting."},
    {137, "Sorry, couldn't find proxy server information in web browser configuration.  \nYou'll have to enter the information by hand."},
    {138, "Resume &Downloads..."},
    {139, "Could not open clipboard for copying."},
    {140, "Could not set clipboard data."},
    {141, "Could not open file:\n  %s\nAborting."},
    {143, "Unknown file format:\n  %s\nAborting."},
    {144, "The specified item was not found on the server.  Verify URL is correct:\n  %s\nAborting."},
    {145, "Unable to download from any site!\nAborting."},
    {146, "Sorry, couldn't find mail address information in web browser configuration.  \nYou'll have to enter the information by hand."},
    {147, "Enter &URL..."},
    {148, "&Downloads..."},
    {160, "The settings store could not be opened or was damaged; it was moved aside to:\n  %s\nA new one has been made: the options are back at their defaults and the download queue starts empty."},
    {161, "The settings store cannot be written:\n  %s\nDownloads still run, but options are not saved and an unfinished download is not kept in the queue."},
    {162, "The download folder does not exist:\n  %s\nGive an existing folder, or none for the current one."},
};
const std::string kEmpty;
}  // namespace

const std::vector<std::pair<int, std::string>>& StringTable() { return kStrings; }

const std::string& LoadString(int id) {
  auto it = std::lower_bound(kStrings.begin(), kStrings.end(), id,
                             [](const auto& entry, int key) { return entry.first < key; });
  return it != kStrings.end() && it->first == id ? it->second : kEmpty;
}

std::string StripMnemonics(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&') {
      if (i + 1 < text.size() && text[i + 1] == '&') out += '&', ++i;
      continue;
    }
    out += text[i];
  }
  return out;
}
