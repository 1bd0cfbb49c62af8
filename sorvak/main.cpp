#include <algorithm>
#include <iostream>
#include <iterator>

#include <boost/lambda/lambda.hpp>

int main()
{
    using boost::lambda::_1;

    auto const tripled = std::cout << _1 * 3 << " ";
    std::istream_iterator<int> const end;
    std::istream_iterator<int> const values(std::cin);

    std::for_each(values, end, tripled);
    return 0;
}
