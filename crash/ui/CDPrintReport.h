// Printing a bug report: the print dialog, then the report line by line in
// "Courier New", long lines wrapped at the page's width and a new page
// whenever one is full. Printing to a PDF file needs no printer.
#pragma once

#include <QPrinter>
#include <QWidget>

#include <string>

// Lays the text out on the printer's pages; returns the number of pages, 0
// when the printer could not be started.
int PrintReportText(QPrinter& printer, const std::string& text);

// Asks where to print (the print dialog, owned by owner) and prints. False
// when the user cancelled or printing failed.
bool PrintBugReport(const std::string& text, QWidget* owner);
