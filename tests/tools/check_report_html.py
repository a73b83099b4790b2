#!/usr/bin/env python3
"""Parses a usage report page strictly (as XML, so any unbalanced or unescaped markup fails) and
prints what a test needs as JSON: the number of charts, anything that would load from elsewhere or
run, and the text of every table's cells by the table's id."""
import json
import sys
import xml.etree.ElementTree as ElementTree


def main(path):
    with open(path, encoding="utf-8") as page:
        root = ElementTree.fromstring(page.read())
    result = {"root": root.tag, "svg": 0, "scripts": 0, "references": [], "tables": {}}
    for element in root.iter():
        if element.tag == "svg":
            result["svg"] += 1
        if element.tag in ("script", "iframe", "object", "embed", "img", "link"):
            result["scripts"] += 1
        for name, value in element.attrib.items():
            if name in ("src", "href") or name.startswith("on") or "url(" in value:
                result["references"].append(f"{element.tag} {name}={value}")
    for table in root.iter("table"):
        rows = []
        for row in table.iter("tr"):
            rows.append(["".join(cell.itertext()) for cell in row if cell.tag in ("td", "th")])
        result["tables"][table.get("id")] = rows
    print(json.dumps(result))


if __name__ == "__main__":
    main(sys.argv[1])
