"""The example job end to end: a child interpreter runs examples/job.py on a
small generated data set; the database, the report and the log must agree."""
import csv
import json
import os
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
DAY = "20261201"
CATEGORIES = {"books", "games", "garden", "kitchen", "music", "toys"}
CURRENCIES = {"EUR", "USD", "GBP", "JPY"}


def run_job(cwd, *extra, status=0):
    cwd.mkdir(exist_ok=True)
    proc = subprocess.run(
        [sys.executable, str(EXAMPLES / "job.py"), "--config", str(EXAMPLES / "config" / "job.yaml"),
         "--records", "600", "--batch_size", "64", "--biz_date", DAY, *extra],
        cwd=str(cwd), stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
    assert proc.returncode == status, proc.stdout[-2000:] + proc.stderr[-2000:]
    return proc.stdout


def good(row):
    """Whether a careful reader of the generated input would accept the order."""
    try:
        day, amount = row["day"], float(row["amount"])
    except ValueError:
        return False
    return (len(day) == 8 and day.isdigit() and int(day[4:6]) <= 12 and amount > 0
            and row["category"] in CATEGORIES and row["currency"] in CURRENCIES)


def stored(cwd):
    with sqlite3.connect(str(cwd / "orders.db")) as db:
        return tuple(sorted(db.execute(sql, (DAY,))) for sql in (
            "SELECT order_id, day, category, currency, amount, amount_eur FROM orders WHERE biz_date = ?",
            "SELECT line, reason FROM rejects WHERE biz_date = ?"))


def report_value(report, label):
    line = next(l for l in report.splitlines() if l.strip().startswith(label))
    return int(line.split()[len(label.split())])


def test_job_routes_bad_rows_aside_and_reports_what_it_stored(tmp_path, webhook):
    seq, conc = tmp_path / "seq", tmp_path / "conc"
    # A limit stops the routing and the summary is posted.
    report = run_job(seq, "--max_records", "250", "--notify-url", webhook.url,
                     "--labels", "team=sales", "run=nightly")
    orders, rejects = stored(seq)
    assert len(orders) + len(rejects) == 250 and report_value(report, "cut at limit") == 350
    [(_, _, body)] = webhook.received
    text = json.loads(body.decode("utf-8"))["markdown"]["content"]
    assert text.startswith("orders job {}\n>".format(DAY)) and text.endswith("\ndone")
    assert "records_out:  {}".format(len(orders)) in text and "cut:  350" in text

    # The whole day, run again, replaces the cut one.
    report = run_job(seq)
    orders, rejects = stored(seq)
    with open(str(seq / "orders_{}.csv".format(DAY)), newline="") as f:
        assert {o[0] for o in orders} == {int(row["order_id"]) for row in csv.DictReader(f) if good(row)}
    assert rejects and len(orders) + len(rejects) == 600
    assert all(o[4] > 0 and o[2] in CATEGORIES and o[3] in CURRENCIES for o in orders)
    assert [report_value(report, label) for label in ("records in", "records out", "rejected")] == [
        600, len(orders), len(rejects)]
    assert "rate cache      hits=" in report and "store_results()" in report
    assert "memory tracing  off (stopped after the import" in report

    log_file = seq / "logs" / "orders_{}.log".format(DAY)
    log = log_file.read_text()
    assert str(log_file) in report
    assert "stored {} orders and {} rejects for {}".format(len(orders), len(rejects), DAY) in log
    assert "ContextProcessor import module" in log  # the module's own records reach the job's file

    # Batches in worker threads give the same rows, run after run.
    run_job(conc, "--concurrent")
    assert "memory tracing  on\n" in run_job(conc, "--concurrent", "--trace_memory")
    assert stored(conc) == (orders, rejects)


def test_on_a_dask_cluster_the_same_rows_are_stored(tmp_path, silent_endpoint):
    pytest.importorskip("distributed", reason="no dask[distributed] for this interpreter")
    if os.environ.get("CU_SANITIZER"):
        pytest.skip("Dask's spawned workers do not run under the sanitizers")
    run_job(tmp_path / "seq")
    report = run_job(tmp_path / "dask", "--scheduler", "local")
    assert stored(tmp_path / "dask") == stored(tmp_path / "seq")
    assert report_value(report, "records out") == len(stored(tmp_path / "seq")[0])
    # A scheduler that takes the connection and never answers: the job ends
    # in its time-out, names the address and writes nothing.
    address = "tcp://" + silent_endpoint.split("/")[2]
    out = run_job(tmp_path / "lost", "--scheduler", address, "--scheduler-timeout", "2", status=2)
    assert "no Dask scheduler answered at {} within 2 s".format(address) in out
    assert not (tmp_path / "lost" / "orders.db").exists()
