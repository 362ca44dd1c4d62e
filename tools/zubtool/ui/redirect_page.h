// The page that opens the workbench in the browser: a file only the user can
// read, in a folder of its own, that sends the browser on to the address
// with the run's token. The browser is started on the file's path, so the
// token is in no process's arguments.
#ifndef ZUBTOOL_UI_REDIRECT_PAGE_H
#define ZUBTOOL_UI_REDIRECT_PAGE_H

#include <string>

namespace zubtool {
namespace ui {

// The page's HTML: a refresh to `address` at once, and a link to it.
std::string RedirectHtml(const std::string& address);

class RedirectPage {
 public:
  // Writes the page in a new folder of the system's temporary folder (the
  // folder 0700, the file 0600 where there are such modes).
  explicit RedirectPage(const std::string& address);
  // Removes the file and its folder.
  ~RedirectPage();
  RedirectPage(const RedirectPage&) = delete;
  RedirectPage& operator=(const RedirectPage&) = delete;

  // The file's path; empty when it could not be written (see Error()).
  const std::string& Path() const { return path_; }
  const std::string& Error() const { return error_; }

 private:
  std::string folder_, path_, error_;
};

}  // namespace ui
}  // namespace zubtool

#endif  // ZUBTOOL_UI_REDIRECT_PAGE_H
