#include "Pages.h"

namespace websim {

std::string portal_page() {
    return R"(<!DOCTYPE html>
<html lang="ja">
<head><meta charset="utf-8"><title>Orvix portal</title></head>
<body>
<h1>Orvix</h1>
<p id="welcome">仮想ネットワークへようこそ。</p>
<p>IPアドレス: <span id="ipadrs"></span></p>
<script>
  // The tray client shows this page after each connection and passes the address as "ipadrs".
  var q = new URLSearchParams(location.search);
  if (q.get("ipadrs")) document.getElementById("ipadrs").textContent = q.get("ipadrs");
</script>
</body>
</html>
)";
}

std::string envcheck_page() {
    return R"(<!DOCTYPE html>
<html lang="ja">
<head><meta charset="utf-8"><title>Orvix environment check</title></head>
<body>
<h1>環境チェック</h1>
<p id="result">This page answered, so the provider's web server is reachable from this PC.</p>
<p>User agent: <span id="agent"></span></p>
<script>document.getElementById("agent").textContent = navigator.userAgent;</script>
</body>
</html>
)";
}

std::string index_page() {
    return R"(<!DOCTYPE html>
<html>
<head><meta charset="utf-8"><title>Orvix substitute provider</title></head>
<body>
<h1>Orvix substitute provider</h1>
<ul>
<li>web API: <code>&lt;any path&gt;/&lt;operation&gt;.do?&lt;query&gt;</code></li>
<li><a href="/orvix/app/index.html">portal page</a></li>
<li><a href="/envchecker/">environment check</a></li>
</ul>
</body>
</html>
)";
}

} // namespace websim
