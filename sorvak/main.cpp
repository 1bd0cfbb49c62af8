#include <algorithm>
#include <iostream>
#include <iterator>

#include <boost/lambda/lambda.hpp>

int main()
{
    using boost::lambda::_1;

    // Prints nothing yet: this builds a function object that, applied to a
    // value, writes the value times three and a space. Each result reaches
    // the reader before the next read, because std::cin is tied to std::cout.
    auto const tripled = std::cout << _1 * 3 << " ";
    std::istream_iterator<int> const end;
    std::istream_iterator<int> const values(std::cin);

    std::for_each(values, end, tripled);
    return 0;
}
