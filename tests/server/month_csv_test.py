#!/usr/bin/env python3
"""The month CSV of the built kalvinor-server read back as a spreadsheet would,
with Python's csv module: BOM, ';', decimal comma, d.m.yyyy, Czech names. The
holders come in through `holders import`, where a bad line stores nothing.

Usage: month_csv_test.py PATH_TO_KALVINOR_SERVER
"""
import csv
import io
import os
import subprocess
import sys
import tempfile

SERVER = sys.argv[1]

DATA_FILE = """01/12/2026-07:58 012aff007b
01/12/2026-16:31 012aff007b
02/12/2026-07:45 012aff007b
30/11/2026-22:00 0000ffff
01/12/2026-06:00 0000ffff
31/12/2026-22:00 0000ffff
01/01/2027-06:30 0000ffff
03/12/2026-09:00 1234abcd
"""

HOLDERS = ("\ufeffKarta;Jméno;Osobní číslo;Oddělení;Od\r\n"
           "012AFF007B;Žofie Čermáková;0042;Účtárna;\r\n"
           "0000ffff;\"Novák; Jan\";57;Sklad;1.11.2026\r\n")

# Line 3 is refused; line 2 would have re-issued Žofie's card.
BAD_HOLDERS = ("Karta;Jméno;Osobní číslo;Oddělení\n"
               "012aff007b;Petr Malý;58;Sklad\n"
               "0000ffff;Jan Novák;57;Sklad;31.11.2026\n")


def run(*arguments, status=0):
    result = subprocess.run([SERVER, *arguments], capture_output=True, timeout=60)
    if result.returncode != status:
        sys.exit(f"{arguments}: status {result.returncode}, expected {status}:\n"
                 f"{result.stderr.decode(errors='replace')}")
    return result


def expect(what, actual, expected):
    if actual != expected:
        sys.exit(f"{what}:\n  got      {actual!r}\n  expected {expected!r}")


def month_rows(db, *extra):
    raw = run("report", "--month", "2026-12", "--csv", "--db", db, *extra).stdout
    expect("the byte order mark", raw[:3], b"\xef\xbb\xbf")
    # As a spreadsheet opens it: the BOM says UTF-8, ';' separates.
    text = raw.decode("utf-8-sig")
    return list(csv.reader(io.StringIO(text, newline=""), delimiter=";"))


def main():
    with tempfile.TemporaryDirectory() as folder:
        db = os.path.join(folder, "site.sqlite")
        data, holders, bad = (os.path.join(folder, name)
                              for name in ("kalvinor.db", "holders.csv", "bad.csv"))
        with open(data, "w", encoding="ascii") as out:
            out.write(DATA_FILE)
        with open(holders, "w", encoding="utf-8", newline="") as out:
            out.write(HOLDERS)
        with open(bad, "w", encoding="utf-8") as out:
            out.write(BAD_HOLDERS)
        run("import", "--from-terminal", "door-1", "--db", db, data)
        run("holders", "import", holders, "--db", db)
        listed = run("holders", "list", "--db", db).stdout
        failed = run("holders", "import", bad, "--db", db, status=1)
        if b"line 3: start day '31.11.2026'" not in failed.stderr:
            sys.exit(f"the bad line is not named: {failed.stderr!r}")
        expect("the holders after a refused file", run("holders", "list", "--db", db).stdout,
               listed)

        rows = month_rows(db)
        expect("the header", rows[0], ["Druh", "Osobní číslo", "Jméno", "Oddělení", "Karta",
                                       "Datum", "Příchod", "Odchod", "Hodin", "Dní", "Terminály"])
        expect("the rows", rows[1:], [
            ["den", "0042", "Žofie Čermáková", "Účtárna", "012aff007b", "1.12.2026", "7:58",
             "16:31", "8,55", "", "door-1"],
            # One read: an arrival, no departure and no hours.
            ["den", "0042", "Žofie Čermáková", "Účtárna", "012aff007b", "2.12.2026", "7:45",
             "", "", "", "door-1"],
            ["celkem", "0042", "Žofie Čermáková", "Účtárna", "", "", "", "", "8,55", "2", ""],
            # A night shift begun in November is November's; one begun on the
            # 31st is December's, its departure in January.
            ["den", "57", "Novák; Jan", "Sklad", "0000ffff", "31.12.2026", "22:00", "6:30",
             "8,50", "", "door-1"],
            ["celkem", "57", "Novák; Jan", "Sklad", "", "", "", "", "8,50", "1", ""],
            ["neznámá karta", "", "", "", "1234abcd", "3.12.2026", "9:00", "", "", "",
             "door-1"],
        ])
        expect("one person's month", [row[2] for row in month_rows(db, "--person", "0042")[1:]],
               ["Žofie Čermáková"] * 3)
    print("month CSV read back as a spreadsheet reads it")


main()
