"""A Scrapy spider that renders pages through orvo-serve the way crawlers'
rendering plugins do: plain scrapy.Requests POSTing JSON arguments to the
service. It prints what it saw as one JSON object; the test reads it.

usage: ScrapySpider.py SERVICE_URL SITE_URL
"""
import json
import sys

import scrapy
from scrapy.crawler import CrawlerProcess

SERVICE, SITE = sys.argv[1], sys.argv[2]
SEEN = {}

# The script the common rendering plugin's README gives for keeping cookies
# and reading the response's status and headers.
SCRIPT = """
function main(splash)
  splash:init_cookies(splash.args.cookies)
  assert(splash:go{
    splash.args.url,
    headers=splash.args.headers,
    http_method=splash.args.http_method,
    body=splash.args.body,
  })
  assert(splash:wait(0.1))
  local entries = splash:history()
  local last_response = entries[#entries].response
  return {
    url = splash:url(),
    headers = last_response.headers,
    http_status = last_response.status,
    cookies = splash:get_cookies(),
    html = splash:html(),
  }
end
"""


class RenderingSpider(scrapy.Spider):
    name = "orvo"
    custom_settings = {
        "LOG_LEVEL": "ERROR",
        "HTTPERROR_ALLOW_ALL": True,
        "USER_AGENT": "OrvoScrapy/1.0",
        "ROBOTSTXT_OBEY": False,
        "RETRY_ENABLED": False,
        "TELNETCONSOLE_ENABLED": False,
        "HTTPPROXY_ENABLED": False,
    }

    def render(self, endpoint, arguments, callback):
        return scrapy.Request(SERVICE + "/" + endpoint, method="POST", body=json.dumps(arguments),
                              headers={"Content-Type": "application/json"}, callback=callback,
                              dont_filter=True)

    def start_requests(self):
        # The plugin passes the crawler's own request headers on as an object.
        yield self.render("render.html", {"url": SITE + "/headers",
                                          "headers": {"User-Agent": "OrvoScrapy/1.0",
                                                      "X-Custom": "from-scrapy"}}, self.headers)
        yield self.render("render.html", {"url": SITE + "/moved",
                                          "cookies": [{"name": "site", "value": "1",
                                                       "domain": "127.0.0.1", "path": "/",
                                                       "expires": None, "httpOnly": False,
                                                       "secure": False}]}, self.cookies)
        yield self.render("render.json", {"url": SITE + "/moved", "history": 1, "html": 1},
                          self.redirect)
        yield self.render("render.html", {"url": SITE + "/missing"}, self.missing)
        yield self.render("execute", {"url": SITE + "/moved", "lua_source": SCRIPT, "http_method": "GET",
                                      "headers": {"User-Agent": "OrvoScrapy/1.0"},
                                      "cookies": [{"name": "site", "value": "2", "domain": "127.0.0.1",
                                                   "path": "/", "expires": None, "httpOnly": False,
                                                   "secure": False}]}, self.scripted)
        yield self.render("render.html", {"url": SITE + "/page-saved",
                                          "js_source": "document.title = 'from a saved script'",
                                          "save_args": ["js_source"]}, self.saved)

    def headers(self, response):
        SEEN["headers"] = {"status": response.status,
                           "agent": response.css("#agent::text").get(),
                           "custom": response.css("#custom::text").get()}

    def cookies(self, response):
        SEEN["cookies"] = {"status": response.status, "cookie": response.css("#cookie::text").get()}

    def redirect(self, response):
        page = json.loads(response.text)
        SEEN["redirect"] = {"status": response.status, "url": page["url"],
                            "statuses": [entry["response"]["status"] for entry in page["history"]]}

    def scripted(self, response):
        result = json.loads(response.text)
        types = [header["value"] for header in result["headers"] if header["name"].lower() == "content-type"]
        SEEN["scripted"] = {"status": response.status, "url": result["url"],
                            "http_status": result["http_status"], "type": types,
                            "cookie": scrapy.Selector(text=result["html"]).css("#cookie::text").get(),
                            "cookies": sorted(cookie["name"] for cookie in result["cookies"])}

    def missing(self, response):
        SEEN["missing"] = {"status": response.status, "info": json.loads(response.text)["info"]}

    def saved(self, response):
        header = response.headers.get("X-Splash-Saved-Arguments", b"").decode()
        SEEN["saved"] = {"status": response.status, "header": header}
        yield self.render("render.html", {"url": SITE + "/page-loaded", "load_args": header},
                          self.loaded)
        yield self.render("render.html", {"url": SITE + "/page-expired",
                                          "load_args": {"js_source": "0" * 40}}, self.expired)

    def loaded(self, response):
        SEEN["loaded"] = {"status": response.status, "title": response.css("title::text").get()}

    def expired(self, response):
        SEEN["expired"] = {"status": response.status, "info": json.loads(response.text)["info"]}


process = CrawlerProcess()
process.crawl(RenderingSpider)
process.start()
print(json.dumps(SEEN, sort_keys=True))
