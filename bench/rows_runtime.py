"""Rows for the runtime helpers: decorated calls against the bare call, and
strip_tags against the same parser written as a plain HTMLParser subclass."""
import functools
from html.parser import HTMLParser
from io import StringIO

from common_utils import common_utils as cu


def plain(x):
    return x


RETRIED = cu.retry()(plain)  # succeeds at once: no pause, no record
# A period no run reaches, so the row times the counting and not the log line.
REPORTED = cu.call_report(10 ** 9)(plain)


class PlainStripper(HTMLParser):
    def __init__(self):
        super().__init__()
        self.reset()
        self.strict = False
        self.convert_charrefs = True
        self.text = StringIO()

    def handle_data(self, d):
        self.text.write(d)

    def get_data(self):
        return self.text.getvalue()


def plain_strip_tags(html):
    s = PlainStripper()
    s.feed(html)
    return s.get_data()


BLOCK = ("<div class=\"row\"><h2 id=\"t{0}\">Title {0} &amp; more</h2>"
         "<p>Some <b>bold</b> and <i>italic</i> text, a <a href=\"/x?{0}\">link</a>"
         " &lt;escaped&gt; &#169;.</p><!-- note {0} --><ul><li>one</li><li>two</li></ul>"
         "</div>\n")
PAGE = "<html><head><style>p {{}}</style></head><body>{}</body></html>".format(
    "".join(BLOCK.format(i) for i in range(480)))
SNIPPET = BLOCK.format(0)
assert 90_000 < len(PAGE) < 110_000 and cu.strip_tags(PAGE) == plain_strip_tags(PAGE)

# (row name, candidate, baseline): add a row by appending a tuple.
ROWS = [
    ("retry()-wrapped f(x), first attempt succeeds vs f(x)",
     functools.partial(RETRIED, 1), functools.partial(plain, 1)),
    ("call_report()-wrapped f(x) vs f(x)",
     functools.partial(REPORTED, 1), functools.partial(plain, 1)),
    # The runner times at least 10,000 calls a repeat, hours for the page, so
    # the row parses one block of it; `python bench/rows_runtime.py` times the page.
    ("strip_tags, one 200-byte block vs HTMLParser subclass",
     functools.partial(cu.strip_tags, SNIPPET), functools.partial(plain_strip_tags, SNIPPET)),
]


def main():
    """Times strip_tags on the whole page beside the plain subclass, best of 5."""
    import platform
    import timeit

    print("Python {}, page of {} characters".format(platform.python_version(), len(PAGE)))
    best = {}
    for _ in range(5):  # interleaved, so drift in machine load hits both sides
        for name, fn in (("strip_tags", cu.strip_tags), ("subclass", plain_strip_tags)):
            t = timeit.timeit(functools.partial(fn, PAGE), number=1)
            best[name] = min(best.get(name, t), t)
    print("strip_tags {:.1f} ms, subclass {:.1f} ms, ratio {:.2f}".format(
        best["strip_tags"] * 1e3, best["subclass"] * 1e3, best["strip_tags"] / best["subclass"]))


if __name__ == "__main__":
    main()
