// Parsing time must grow in proportion to the size of the text: generates a package-like
// document of two sizes (deep nesting, many attributes, references, comments and CDATA), times
// parsing plus freeing the tree (best of several runs) and compares the time per byte.
//   xml_linear_time [small MB] [large MB]      default 4 and 16
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "support/Xml.h"

namespace {

const double kMostSlowdownPerByte = 2.0;  // the large text may cost at most this much more per byte
const int kRuns = 3;

void AppendItem(std::string& text, size_t index)
{
    std::string n = std::to_string(index);
    text += "  <Item id=\"" + n + "\" name='A &amp; B' path=\"C:\\Program Files\\Arvane\\" + n + "\"";
    for (int a = 0; a < 10; ++a)
        text += " a" + std::to_string(a) + "=\"&#65;&#x42;" + n + "\"";
    text += ">\n    text &lt; " + n + " &gt; more<!-- comment --><![CDATA[<raw>]]>\n";
    text += "    <Child kind='leaf'/><Child kind=\"leaf\">last &quot;words&quot;</Child>\n  </Item>\n";
}

// About size bytes: half of it groups of items, half one chain of nested elements.
std::string MakeDocument(size_t size)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- generated -->\n"
                       "<Package GUID=\"{00000000-0000-0000-0000-000000000000}\" PartitionId=\"P\">\n";
    size_t item = 0;
    while (text.size() < size / 2) {
        text += " <Group n=\"" + std::to_string(item) + "\">\n";
        for (int i = 0; i < 50; ++i)
            AppendItem(text, item++);
        text += " </Group>\n";
    }
    const std::string open = "<d k='1'>", close = "</d>";
    size_t depth = (size - text.size()) / (open.size() + close.size());
    text.reserve(size + 64);
    for (size_t i = 0; i < depth; ++i)
        text += open;
    for (size_t i = 0; i < depth; ++i)
        text += close;
    text += "\n</Package>\n";
    return text;
}

// Best time in seconds of parsing text and freeing the tree.
double TimeParse(const std::string& text)
{
    double best = 1e9;
    for (int run = 0; run < kRuns; ++run) {
        auto started = std::chrono::steady_clock::now();
        {
            XmlDocument document;
            if (document.Parse(text.c_str()) != 0 || !document.Root) {
                fprintf(stderr, "xml_linear_time: the generated document does not parse\n");
                exit(2);
            }
        }
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        best = std::min(best, took.count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv)
{
    double smallMB = argc > 1 ? atof(argv[1]) : 4;
    double largeMB = argc > 2 ? atof(argv[2]) : 16;
    std::string small = MakeDocument((size_t)(smallMB * 1024 * 1024));
    std::string large = MakeDocument((size_t)(largeMB * 1024 * 1024));
    double smallSeconds = TimeParse(small);
    double largeSeconds = TimeParse(large);
    double smallPerByte = smallSeconds / (double)small.size();
    double largePerByte = largeSeconds / (double)large.size();
    double slowdown = largePerByte / smallPerByte;
    printf("small: %zu bytes in %.1f ms (%.2f ns/byte)\n", small.size(), smallSeconds * 1e3, smallPerByte * 1e9);
    printf("large: %zu bytes in %.1f ms (%.2f ns/byte)\n", large.size(), largeSeconds * 1e3, largePerByte * 1e9);
    printf("size ratio %.2f, time ratio %.2f, time per byte ratio %.2f (limit %.1f)\n",
           (double)large.size() / (double)small.size(), largeSeconds / smallSeconds, slowdown,
           kMostSlowdownPerByte);
    return slowdown <= kMostSlowdownPerByte ? 0 : 1;
}
