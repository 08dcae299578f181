"""The example job end to end: a child interpreter runs examples/job.py on a
small generated data set; the database, the report and the log must agree."""
import csv
import http.server
import json
import os
import sqlite3
import subprocess
import sys
import threading

import pytest

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "examples")
DAY = "20261201"
CATEGORIES = {"books", "games", "garden", "kitchen", "music", "toys"}
CURRENCIES = {"EUR", "USD", "GBP", "JPY"}


def run_job(cwd, *extra):
    cmd = [sys.executable, os.path.join(EXAMPLES, "job.py"), "--config",
           os.path.join(EXAMPLES, "config", "job.yaml"), "--records", "600", "--batch_size", "64",
           "--biz_date", DAY, *extra]
    proc = subprocess.run(cmd, cwd=str(cwd), stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-2000:]
    return proc.stdout


def expected_good_ids(cwd):
    """The orders of the generated input that a careful reader would accept."""
    good = set()
    with open(os.path.join(str(cwd), "orders_{}.csv".format(DAY)), newline="") as f:
        for row in csv.DictReader(f):
            try:
                amount = float(row["amount"])
                ok = (len(row["day"]) == 8 and row["day"].isdigit() and int(row["day"][4:6]) <= 12
                      and amount > 0 and row["category"] in CATEGORIES and row["currency"] in CURRENCIES)
            except ValueError:
                ok = False
            if ok:
                good.add(int(row["order_id"]))
    return good


def stored(cwd):
    with sqlite3.connect(os.path.join(str(cwd), "orders.db")) as db:
        orders = sorted(db.execute("SELECT order_id, day, category, currency, amount, amount_eur"
                                   " FROM orders WHERE biz_date = ?", (DAY,)))
        rejects = sorted(db.execute("SELECT line, reason FROM rejects WHERE biz_date = ?", (DAY,)))
    return orders, rejects


def report_value(report, label):
    line = next(l for l in report.splitlines() if l.strip().startswith(label))
    return int(line.split()[len(label.split())])


def test_job_routes_bad_rows_aside_and_reports_what_it_stored(tmp_path):
    seq, conc = tmp_path / "seq", tmp_path / "conc"
    seq.mkdir(), conc.mkdir()
    report = run_job(seq)
    orders, rejects = stored(seq)

    good = expected_good_ids(seq)
    assert rejects and {o[0] for o in orders} == good
    assert len(orders) + len(rejects) == 600
    assert all(o[4] > 0 and o[2] in CATEGORIES and o[3] in CURRENCIES for o in orders)
    assert (report_value(report, "records in"), report_value(report, "records out"),
            report_value(report, "rejected")) == (600, len(orders), len(rejects))
    assert "rate cache      hits=" in report and "store_results()" in report
    assert "memory tracing  off (stopped after the import" in report

    log_file = seq / "logs" / "orders_{}.log".format(DAY)
    log = log_file.read_text()
    assert str(log_file) in report
    assert "stored {} orders and {} rejects for {}".format(len(orders), len(rejects), DAY) in log
    assert "ContextProcessor import module" in log  # the module's own records reach the job's file

    # Batches in worker threads give the same rows; a second run of the day replaces, not adds.
    run_job(conc, "--concurrent")
    assert "memory tracing  on\n" in run_job(conc, "--concurrent", "--trace_memory")
    assert stored(conc) == (orders, rejects)


class _Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        self.server.bodies.append(self.rfile.read(int(self.headers["Content-Length"])))
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


def test_limit_stops_routing_and_the_summary_is_posted(tmp_path):
    server = http.server.HTTPServer(("127.0.0.1", 0), _Hook)
    server.bodies = []
    thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
    thread.start()
    try:
        url = "http://127.0.0.1:{}/hook".format(server.server_address[1])
        report = run_job(tmp_path, "--max_records", "250", "--notify-url", url,
                         "--labels", "team=sales", "run=nightly")
    finally:
        server.shutdown()
        server.server_close()
    orders, rejects = stored(tmp_path)
    assert len(orders) + len(rejects) == 250
    assert report_value(report, "cut at limit") == 350
    [body] = server.bodies
    text = json.loads(body.decode("utf-8"))["markdown"]["content"]
    assert text.startswith("orders job {}\n>".format(DAY)) and text.endswith("\ndone")
    assert "records_out:  {}".format(len(orders)) in text and "cut:  350" in text
